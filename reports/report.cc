#include "report.h"

#include <exception>
#include <iostream>

#include "table.h"

namespace {

int reportFailure(const char* failurePrefix, const char* errorText) {
    std::cerr << failurePrefix << errorText << std::endl;
    return 1;
}

std::string_view fieldText(const mysqlpp::String& field) {
    return std::string_view(field.data(), field.length());
}

}  // namespace

int runReport(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query, const std::string& statement,
              const std::vector<std::string_view>& header, const std::vector<std::size_t>& widths,
              const std::vector<const char*>& columns, std::string_view firstCell,
              const char* failurePrefix) {
    mysqlpp::Row row;
    // A failed statement stays in the query object; without emptying it the
    // next report would run that text and its own glued together.
    query.reset();
    query.clear();
    query << statement;
    try {
        res = query.store();
    } catch (const mysqlpp::BadQuery& e) {
        return reportFailure(failurePrefix, e.what());
    } catch (const mysqlpp::Exception& e) {
        return reportFailure(failurePrefix, e.what());
    }
    if (!res) return reportFailure(failurePrefix, query.error());

    std::string line;
    appendTableLine(line, header, widths);
    std::cout << line << std::endl;

    const std::size_t fixedCells = firstCell.empty() ? 0 : 1;
    std::vector<std::string_view> cells(fixedCells + columns.size());
    if (fixedCells) cells[0] = firstCell;
    try {
        for (std::size_t i = 0; i < res.num_rows(); ++i) {
            row = res[i];
            // Every field is looked up before anything is written, so a
            // missing column leaves no part of its line on the screen.
            for (std::size_t c = 0; c < columns.size(); ++c) {
                cells[fixedCells + c] = fieldText(row[columns[c]]);
            }
            line.clear();
            appendTableLine(line, cells, widths);
            std::cout << line << std::endl;
        }
    } catch (const mysqlpp::BadFieldName& e) {
        return reportFailure(failurePrefix, e.what());
    } catch (const mysqlpp::Exception& e) {
        return reportFailure(failurePrefix, e.what());
    }
    return 0;
}
