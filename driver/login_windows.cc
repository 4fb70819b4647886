// The Windows build's client library is built with the password methods
// alone (no "dialog", no clear text, no Kerberos, no old password hash), each
// inside the library, and patched to load no plugin file at all, which
// Windows would look for by its bare name in the current folder and along
// PATH: a method a server names that is not built in is refused before
// anything more is sent. So there is no list to pass.

#include "login.h"

void setLoginOptions(mysqlpp::Connection& con) {
    // "localhost" is TCP here. TLS whenever the server offers it, plain TCP
    // where it does not (a server without a certificate), as the standard
    // client's default; the server's certificate is not verified. Over TLS,
    // MySQL's caching_sha2_password sends the password itself for a full
    // login instead of encrypting it with the server's RSA key, which Wine
    // cannot.
    con.set_option(new mysqlpp::SslOption());
}
