#include "inventory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "menu.h"
#include "reports/report.h"

namespace {

/// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, so that
/// the server connection can never become one of them. Standard output gets a
/// descriptor that refuses writes, so a closed one still fails as it would.
void makeStandardDescriptorsSafe() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void connectToServer(mysqlpp::Connection& con) {
    // The library applies options at the next connect and then forgets them,
    // so every connect sets them again.
    con.set_option(new mysqlpp::ConnectTimeoutOption(60));
    // The library's escaping assumes this character set from here on.
    con.set_option(new mysqlpp::SetCharsetNameOption("utf8mb4"));
    // "localhost" with port 0 and no socket name: the client library's
    // default Unix socket, which its MYSQL_UNIX_PORT variable overrides.
    con.connect("mysql_cpp_data", "localhost", "root", "tamrix", 0);
}

void useCharacterSet(mysqlpp::Query& query) {
    // A server may ignore the character set asked for when connecting and
    // parse statements in another one, in which the library's escaping is
    // not safe. Setting it by statement too makes both ends agree; the client
    // library follows the change that the server reports back.
    query.reset();
    query.exec("set names utf8mb4");
}

void useInventory(mysqlpp::Query& query) {
    query.reset();
    query << "use Music_Inventory;";
    query.store();
}

}  // namespace

void openSession(mysqlpp::Connection& con, mysqlpp::Query& query) {
    connectToServer(con);
    useCharacterSet(query);
    useInventory(query);
}

int runMusicInventory() {
    makeStandardDescriptorsSafe();
    mysqlpp::Connection con(true);
    mysqlpp::StoreQueryResult res;
    try {
        connectToServer(con);
    } catch (const mysqlpp::ConnectionFailed& er) {
        writeFailureLine("Connection failed: ", er.what());
        return 1;
    } catch (const mysqlpp::Exception& er) {
        // An option the client library refuses fails the connection too.
        writeFailureLine("Connection failed: ", er.what());
        return 1;
    }

    mysqlpp::Query query = con.query();
    try {
        useCharacterSet(query);
    } catch (const mysqlpp::Exception& er) {
        writeFailureLine("Failed to set the character set utf8mb4: ", er.what());
        return 1;
    }
    try {
        useInventory(query);
    } catch (const mysqlpp::Exception& er) {
        writeFailureLine("Failed to select database Music_Inventory: ", er.what());
        return 1;
    }
    return runActionMenu(con, res, query);
}
