// The Windows build's client library is built with the password methods
// alone (no "dialog", no clear text, no Kerberos), each inside the library,
// and with no plugin folder a user could write to, so there is nothing to
// refuse at run time; and there is no private in-memory file to pass a list
// through.

#include "login.h"

const std::string& loginOptionFile() {
    static const std::string none;
    return none;
}
