#pragma once

#include <mysql++/mysql++.h>

/// Connects to the local server, selects the inventory database and runs the
/// menu. Returns the exit status: 0 after Exit, 1 when no connection could be
/// opened, the session could not be set up or standard output failed.
int runMusicInventory();

/// Connects `con` with the program's fixed account and settings, makes the
/// session's character set utf8mb4 on the server's side too and selects
/// Music_Inventory. Throws the library's ConnectionFailed when the connect
/// fails and its BadQuery when a later step does.
void openSession(mysqlpp::Connection& con, mysqlpp::Query& query);
