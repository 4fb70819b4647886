#include "inventory.h"

#include <iostream>

#include "menu.h"

int runMusicInventory() {
    mysqlpp::Connection con(true);
    mysqlpp::StoreQueryResult res;
    try {
        // Options must be set before connecting; the connection owns them.
        con.set_option(new mysqlpp::ConnectTimeoutOption(60));
        // Names arrive as UTF-8 whatever the server's default.
        con.set_option(new mysqlpp::SetCharsetNameOption("utf8mb4"));
        // "localhost" with port 0 and no socket name: the client library's
        // default Unix socket, which its MYSQL_UNIX_PORT variable overrides.
        con.connect("mysql_cpp_data", "localhost", "root", "tamrix", 0);
    } catch (const mysqlpp::ConnectionFailed& er) {
        std::cerr << "Connection failed: " << er.what() << std::endl;
        return 1;
    } catch (const mysqlpp::Exception& er) {
        // An option the client library refuses fails the connection too.
        std::cerr << "Connection failed: " << er.what() << std::endl;
        return 1;
    }

    mysqlpp::Query query = con.query();
    try {
        query << "use Music_Inventory;";
        query.store();
    } catch (const mysqlpp::Exception& er) {
        std::cerr << "Failed to select database Music_Inventory: " << er.what() << std::endl;
        return 1;
    }

    return runActionMenu(res, query);
}
