#pragma once

#include <mysql++/mysql++.h>

/// Connects to the local server, selects the inventory database and runs the
/// menu. Returns the exit status: 0 after Exit, 1 when no connection could be
/// opened (a server that refuses utf8mb4 included), the database could not be
/// selected or standard output failed.
int runMusicInventory();

/// Connects `con` again with the settings of the start. Music_Inventory is
/// selected as part of the connect, so that a failure at any step leaves no
/// half-made session, only a closed one. Throws the library's
/// ConnectionFailed.
void reopenSession(mysqlpp::Connection& con);
