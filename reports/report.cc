#include "report.h"

#include <exception>
#include <iostream>
#include <vector>

#include "driver/console.h"
#include "table.h"

namespace {

const int standardOutput = 1;
const int standardError = 2;

/// Decided once per run: whether text from the database meets a terminal.
TextMode modeFor(int fd) {
    return isTerminal(fd) ? textVisible : textAsDelivered;
}

int reportFailure(const char* failurePrefix, const char* errorText) {
    writeFailureLine(failurePrefix, errorText);
    return 1;
}

std::string_view fieldText(const mysqlpp::String& field) {
    return std::string_view(field.data(), field.length());
}

/// Moves a freshly stored result into `res`. The library's assignment would
/// copy every row of it and then free the originals.
void keepResult(mysqlpp::StoreQueryResult& res, mysqlpp::StoreQueryResult fresh) {
    std::vector<mysqlpp::Row> rows;
    rows.swap(fresh);
    res = fresh;  // the fields and the validity, now without rows
    res.swap(rows);
}

/// Looks the columns up by name in the first row, raising the library's
/// BadFieldName for a missing one, and gives their positions for every row.
std::vector<int> columnIndexes(const mysqlpp::Row& row, const std::vector<const char*>& columns) {
    std::vector<int> indexes;
    for (const char* column : columns) {
        row[column];
        indexes.push_back(static_cast<int>(row.field_num(column)));
    }
    return indexes;
}

/// Writes the header line and one line per row of `res`; throws the
/// library's BadFieldName for a missing column.
void printTable(const mysqlpp::StoreQueryResult& res, const std::vector<std::string_view>& header,
                const std::vector<std::size_t>& widths, const std::vector<const char*>& columns,
                std::string_view firstCell) {
    static const TextMode mode = modeFor(standardOutput);
    static const bool eightBit = eightBitTerminal(standardOutput);
    std::string line;
    appendTableLine(line, header, widths, mode);
    std::cout << line << std::endl;
    // For an 8-bit terminal the cells are limited to its character set first,
    // so that the layout counts the columns it will show.
    std::vector<std::string> limited(eightBit ? columns.size() : 0);

    const std::size_t fixedCells = firstCell.empty() ? 0 : 1;
    std::vector<std::string_view> cells(fixedCells + columns.size());
    if (fixedCells) cells[0] = firstCell;
    std::vector<int> indexes;
    for (std::size_t i = 0; i < res.num_rows(); ++i) {
        const mysqlpp::Row& row = res[i];
        // Every field is looked up before anything is written, so a missing
        // column leaves no part of its line on the screen.
        if (i == 0) indexes = columnIndexes(row, columns);
        for (std::size_t c = 0; c < columns.size(); ++c) {
            cells[fixedCells + c] = fieldText(row[indexes[c]]);
            if (eightBit) {
                limited[c].clear();
                appendForEightBitTerminal(limited[c], cells[fixedCells + c]);
                cells[fixedCells + c] = limited[c];
            }
        }
        line.clear();
        appendTableLine(line, cells, widths, mode);
        if (eightBit) line = toEightBitTerminal(line);
        std::cout << line << std::endl;
        if (!std::cout) return;  // nobody reads the rest
    }
}

}  // namespace

int runReport(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query, const std::string& statement,
              const std::vector<std::string_view>& header, const std::vector<std::size_t>& widths,
              const std::vector<const char*>& columns, std::string_view firstCell,
              const char* failurePrefix) {
    // A failed statement stays in the query object; without emptying it the
    // next report would run that text and its own glued together.
    query.reset();
    query.clear();
    query << statement;
    try {
        keepResult(res, query.store());
        if (!res) return reportFailure(failurePrefix, query.error());
        printTable(res, header, widths, columns, firstCell);
        return 0;
    } catch (const std::exception& e) {
        // BadQuery for a rejected statement or a lost connection, BadFieldName
        // for a missing column, bad_alloc for a result too large to hold.
        return reportFailure(failurePrefix, e.what());
    }
}

void writeFailureLine(const char* prefix, std::string_view text) {
    static const TextMode mode = modeFor(standardError);
    static const bool eightBit = eightBitTerminal(standardError);
    std::string line = prefix;
    if (eightBit) {
        appendForEightBitTerminal(line, text);
        line = toEightBitTerminal(line);
    } else if (mode == textVisible) {
        appendVisible(line, text);
    } else {
        for (const char c : text) line += c == '\n' || c == '\r' ? ' ' : c;
    }
    std::cerr << line << std::endl;
}
