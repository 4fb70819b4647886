#pragma once

#include <mysql++/mysql++.h>

#include <cstdint>
#include <iosfwd>
#include <string>

enum InputStatus { inputRead, inputInvalid, inputEnded };

/// Reads one integer. A non-number, a number outside the 64-bit range, or a
/// number with other characters right after it is inputInvalid, and the rest
/// of its line is discarded. The line end after a good number stays unread.
InputStatus readInteger(std::istream& in, std::int64_t& value);

/// Skips what is left of the current line, then reads the next whole line,
/// spaces kept, without its line end (LF, or the CR LF of a file written on
/// Windows). Text that ends without a line end is still a line.
InputStatus readAnswerLine(std::istream& in, std::string& line);

/// Shows the menu and runs the chosen actions until the user chooses Exit or
/// standard input ends; before each report, opens the session on `con` again
/// if it was lost. Returns the exit status: 0, or 1 when standard output
/// could not be written.
int runActionMenu(mysqlpp::Connection& con, mysqlpp::StoreQueryResult& res, mysqlpp::Query& query);
