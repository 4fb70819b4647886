#pragma once

#include <mysql++/mysql++.h>

/// Sets, for the next connect, the options that keep the login safe: only
/// the login methods MariaDB and MySQL servers use for a password or a
/// socket are allowed, and where the connection is TCP, TLS is used whenever
/// the server offers it. Any other method is refused: a server could
/// otherwise pick the client library's "dialog", which writes the server's
/// text on the terminal and sends it the line the user types, or a method
/// the library would load from a file. Throws the library's ConnectionFailed
/// when the options cannot be set, so that no connect goes without them.
void setLoginOptions(mysqlpp::Connection& con);
