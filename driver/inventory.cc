#include "inventory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

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

/// The login methods MariaDB and MySQL servers use for a password or a
/// socket. Any other is refused: a server could otherwise pick the client
/// library's "dialog", which writes the server's text on the terminal and
/// sends it the line the user types.
const char allowedLogins[] =
    "mysql_native_password,caching_sha2_password,sha256_password,client_ed25519,parsec";

/// The path of an option file that holds only the allowed login methods.
/// MySQL++ sets every option anew on a fresh handle as each connect begins,
/// and has none for the list, so the client library reads it from this file
/// then. Throws ConnectionFailed when the file cannot be made or opened, so
/// that no connect goes without it.
const std::string& loginOptionFile() {
    static std::string path;
    if (!path.empty()) return path;
    // In memory, and gone with the program.
    const int fd = memfd_create("music-inventory-client.cnf", MFD_CLOEXEC);
    const std::string text = std::string("[client]\nrestricted-auth=") + allowedLogins + "\n";
    const bool written =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const std::string made = "/proc/self/fd/" + std::to_string(fd);
    const int check = written ? open(made.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    if (check < 0) {
        const int error = errno;
        if (fd >= 0) close(fd);
        throw mysqlpp::ConnectionFailed(
            (std::string("cannot restrict the login methods: ") + std::strerror(error)).c_str());
    }
    close(check);
    path = made;
    return path;
}

void connectToServer(mysqlpp::Connection& con, bool selectInventory) {
    // The library applies options at the next connect and then forgets them,
    // so every connect sets them again.
    con.set_option(new mysqlpp::ConnectTimeoutOption(60));
    con.set_option(new mysqlpp::ReadDefaultFileOption(loginOptionFile()));
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
    // default Unix socket, which its MYSQL_UNIX_PORT variable overrides.
    con.connect("mysql_cpp_data", "localhost", "root", "tamrix", 0);
}

}  // namespace

void reopenSession(mysqlpp::Connection& con) {
    // Options set while connected would apply at once, and some cannot.
    con.disconnect();
    connectToServer(con, true);
}

int runMusicInventory() {
    makeStandardDescriptorsSafe();
    mysqlpp::Connection con(true);
    mysqlpp::StoreQueryResult res;
    try {
        connectToServer(con, false);
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
        query << "use Music_Inventory;";
        query.store();
    } catch (const mysqlpp::Exception& er) {
        writeFailureLine("Failed to select database Music_Inventory: ", er.what());
        return 1;
    }
    return runActionMenu(con, res, query);
}
