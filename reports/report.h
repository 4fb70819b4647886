#pragma once

#include <mysql++/mysql++.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// Runs `statement` in store mode, keeps the result in `res` and prints it:
/// the header line, then for each row `firstCell` (unless empty) followed by
/// the fields of `columns`, laid out by `widths`. On failure prints
/// `failurePrefix` and the library's error text on standard error.
/// Returns 0 when the table was printed, 1 on failure.
int runReport(mysqlpp::StoreQueryResult& res, mysqlpp::Query& query, const std::string& statement,
              const std::vector<std::string_view>& header, const std::vector<std::size_t>& widths,
              const std::vector<const char*>& columns, std::string_view firstCell,
              const char* failurePrefix);

/// Writes `prefix` and `text` as one line on standard error. Line ends in
/// `text` become spaces, and on a terminal control characters are shown as
/// stand-ins (on an 8-bit terminal as "?", with every character its
/// character set lacks), so a message from the server can neither split the
/// line nor drive the terminal.
void writeFailureLine(const char* prefix, std::string_view text);
