#include "connection.h"

#include "login.h"

void openSession(mysqlpp::Connection& con, bool selectInventory) {
    // The library applies options at the next connect and then forgets them,
    // so every connect sets them again.
    con.set_option(new mysqlpp::ConnectTimeoutOption(60));
    setLoginOptions(con);
    // The library's escaping assumes this character set from here on.
    con.set_option(new mysqlpp::SetCharsetNameOption("utf8mb4"));
    // A server may ignore the character set asked for in the handshake and
    // parse statements in its own, in which that escaping is not safe. As the
    // first statement of the connect, this makes both ends agree (the client
    // library follows the change the server reports back), and a server that
    // refuses it fails the connect.
    con.set_option(new mysqlpp::InitCommandOption("set names utf8mb4"));
    if (selectInventory) con.set_option(new mysqlpp::InitCommandOption("use Music_Inventory"));
    // "localhost" with port 0 and no socket name: the client library's
    // default, a Unix socket its MYSQL_UNIX_PORT variable overrides, or on
    // Windows TCP port 3306, which MYSQL_TCP_PORT overrides.
    con.connect("mysql_cpp_data", "localhost", "root", "tamrix", 0);
}

void reopenSession(mysqlpp::Connection& con) {
    // Options set while connected would apply at once, and some cannot.
    con.disconnect();
    openSession(con, true);
}
