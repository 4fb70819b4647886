#pragma once

/// Connects to the local server, selects the inventory database and runs the
/// menu. Returns the exit status: 0 after Exit, 1 when no connection could be
/// opened (a server that refuses utf8mb4 included), the database could not be
/// selected or standard output failed.
int runMusicInventory();
