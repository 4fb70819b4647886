// The login methods, passed to the client library as an option file.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "login.h"

namespace {

const char allowedLogins[] =
    "mysql_native_password,caching_sha2_password,sha256_password,client_ed25519,parsec";

// The path of an option file holding the list, made once.
const std::string& loginOptionFile() {
    // MySQL++ sets every option anew on a fresh handle as each connect
    // begins, and has none for the list, so the client library reads it from
    // this file then.
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

}  // namespace

void setLoginOptions(mysqlpp::Connection& con) {
    // The connection is a Unix socket: no TLS to ask for.
    con.set_option(new mysqlpp::ReadDefaultFileOption(loginOptionFile()));
}
