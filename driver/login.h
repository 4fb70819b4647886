#pragma once

#include <string>

/// The path of a client option file that allows only the login methods
/// MariaDB and MySQL servers use for a password or a socket, for the connect
/// to read; empty where the client library has no other method. Any other is
/// refused: a server could otherwise pick the client library's "dialog",
/// which writes the server's text on the terminal and sends it the line the
/// user types. Throws the library's ConnectionFailed when the file cannot be
/// made, so that no connect goes without it.
const std::string& loginOptionFile();
