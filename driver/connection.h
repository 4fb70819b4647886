#pragma once

#include <mysql++/mysql++.h>

/// Connects `con` to the local server with the program's fixed account;
/// with `selectInventory`, Music_Inventory is selected as part of the
/// connect. Throws the library's ConnectionFailed (or another of its
/// exceptions for an option the client library refuses).
void openSession(mysqlpp::Connection& con, bool selectInventory);

/// Connects `con` again with the settings of the start. Music_Inventory is
/// selected as part of the connect, so that a failure at any step leaves no
/// half-made session, only a closed one.
void reopenSession(mysqlpp::Connection& con);
