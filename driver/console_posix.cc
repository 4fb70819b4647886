// All terminal handling of the program on POSIX systems: the standard
// descriptors, the 8-bit character sets, and the single-key read of the pause.

#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <strings.h>
#include <termios.h>
#include <unistd.h>
#include <utf8proc.h>

#include <clocale>
#include <iostream>
#include <string>

#include "console.h"
#include "reports/table.h"

namespace {

/// The character set of the locale when it is neither UTF-8 nor ASCII;
/// empty otherwise. Only LC_CTYPE is read, and the program's own locale is
/// "C" again afterwards, so nothing else of its behaviour changes.
const std::string& localeCharset() {
    static const std::string charset = [] {
        std::string name;
        if (std::setlocale(LC_CTYPE, "") != nullptr) name = nl_langinfo(CODESET);
        std::setlocale(LC_CTYPE, "C");
        for (const char* asIs : {"UTF-8", "UTF8", "ANSI_X3.4-1968", "ASCII", "US-ASCII"}) {
            if (strcasecmp(name.c_str(), asIs) == 0) return std::string();
        }
        return name;
    }();
    return charset;
}

/// From UTF-8 to the locale's character set; to ASCII when iconv does not
/// know that one, so that nothing it could take for a control gets through.
iconv_t converter() {
    static const iconv_t cd = [] {
        const iconv_t opened = iconv_open(localeCharset().c_str(), "UTF-8");
        return opened != reinterpret_cast<iconv_t>(-1) ? opened : iconv_open("ASCII", "UTF-8");
    }();
    return cd;
}

/// Converts as much of `in` as the character set has; returns false at the
/// first character it lacks, having converted nothing of it.
bool convert(std::string& out, const char*& in, std::size_t& inLeft) {
    char buffer[256];
    while (inLeft > 0) {
        char* to = buffer;
        std::size_t toLeft = sizeof buffer;
        const std::size_t done = iconv(converter(), const_cast<char**>(&in), &inLeft, &to, &toLeft);
        out.append(buffer, static_cast<std::size_t>(to - buffer));
        if (done == static_cast<std::size_t>(-1) && errno != E2BIG) {
            iconv(converter(), nullptr, nullptr, nullptr, nullptr);
            return false;
        }
    }
    return true;
}

}  // namespace

bool eightBitTerminal(int fd) {
    return isatty(fd) && !localeCharset().empty();
}

void appendForEightBitTerminal(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto size = static_cast<utf8proc_ssize_t>(text.size());
    std::string ignored;
    utf8proc_ssize_t at = 0;
    while (at < size) {
        if (bytes[at] >= 0x20 && bytes[at] < 0x7F) {
            out += static_cast<char>(bytes[at++]);
            continue;
        }
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, size - at, &codepoint);
        if (length <= 0 || codepoint < 0xA0) {
            out += '?';
            at += length <= 0 ? 1 : length;
            continue;
        }
        const char* in = text.data() + at;
        auto inLeft = static_cast<std::size_t>(length);
        ignored.clear();
        if (convert(ignored, in, inLeft)) {
            out.append(text.data() + at, static_cast<std::size_t>(length));
        } else {
            out += '?';
        }
        at += length;
    }
}

std::string toEightBitTerminal(std::string_view text) {
    std::string out;
    const char* in = text.data();
    std::size_t inLeft = text.size();
    // Only characters the set has are left; anything else would still be
    // one "?", never a byte of UTF-8.
    while (!convert(out, in, inLeft)) {
        out += '?';
        utf8proc_int32_t codepoint = 0;
        const auto length = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(in),
                                             static_cast<utf8proc_ssize_t>(inLeft), &codepoint);
        const std::size_t skipped = length <= 0 ? 1 : static_cast<std::size_t>(length);
        in += skipped;
        inLeft -= skipped;
    }
    return out;
}

namespace {

// Read by the signal handlers, which must restore the terminal before the
// program stops or ends.
int ttyFd = -1;
termios savedSettings;
termios keySettings;

struct sigaction previousActions[NSIG];
bool caught[NSIG];

/// Whether a signal's default action ends the process; the others stop it,
/// continue it or are discarded, and SIGKILL and SIGSTOP cannot be caught.
bool endsTheProcess(int signo) {
    switch (signo) {
        case SIGKILL:
        case SIGSTOP:
        case SIGTSTP:
        case SIGTTIN:
        case SIGTTOU:
        case SIGCONT:
        case SIGCHLD:
        case SIGURG:
        case SIGWINCH:
            return false;
        default:
            return true;
    }
}

void onEndingSignal(int signo) {
    tcsetattr(ttyFd, TCSANOW, &savedSettings);
    // Die of the same signal, so the caller sees the usual status.
    signal(signo, SIG_DFL);
    raise(signo);
}

void onStopSignal(int) {
    const int savedErrno = errno;
    tcsetattr(ttyFd, TCSANOW, &savedSettings);
    struct sigaction ours;
    sigaction(SIGTSTP, nullptr, &ours);
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    // Continued (fg): wait for the key again as before.
    sigaction(SIGTSTP, &ours, nullptr);
    tcsetattr(ttyFd, TCSANOW, &keySettings);
    errno = savedErrno;
}

bool readByte(unsigned char* byte) {
    ssize_t got = 0;
    do {
        got = read(ttyFd, byte, 1);
    } while (got < 0 && errno == EINTR);
    return got == 1;
}

/// Whether `fd` is the controlling terminal, the one /dev/tty opens (whose
/// own device number is not that terminal's).
bool isTheTerminal(int fd) {
    const pid_t session = tcgetsid(fd);
    return session != -1 && session == getsid(0);
}

/// Whether the bytes one key press sent so far stop where more must follow:
/// inside a UTF-8 character or an escape sequence.
bool keyUnfinished(const std::string& sent) {
    if (wholeCharacters(sent) < sent.size()) return true;
    const std::size_t escape = sent.rfind('\x1B');
    if (escape == std::string::npos) return false;
    const std::string rest = sent.substr(escape + 1);
    // ESC alone: an Escape key, or the ESC that Alt puts before a key.
    if (rest.empty()) return true;
    if (rest[0] == 'O') return rest.size() < 2;
    if (rest[0] != '[') return false;
    // The Linux console's F1 to F5: ESC [ [ and a letter.
    if (rest.size() > 1 && rest[1] == '[') return rest.size() < 3;
    // CSI: parameter and intermediate bytes, then one final byte.
    std::size_t at = 1;
    while (at < rest.size() && rest[at] >= 0x20 && rest[at] <= 0x3F) ++at;
    return at == rest.size();
}

void installHandlers() {
    struct sigaction action = {};
    // Other signals wait while a handler restores the terminal.
    sigfillset(&action.sa_mask);
    // No SA_RESTART: the handlers run while read() waits, and may not return.
    action.sa_flags = 0;
    for (int signo = 1; signo < NSIG; ++signo) {
        caught[signo] = false;
        struct sigaction current = {};
        if (sigaction(signo, nullptr, &current) != 0) continue;
        // An ignored signal (nohup, trap '' INT) stays ignored, and one that
        // somebody else catches stays theirs.
        if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
        if (signo == SIGTSTP) {
            action.sa_handler = onStopSignal;
        } else if (endsTheProcess(signo)) {
            action.sa_handler = onEndingSignal;
        } else {
            continue;
        }
        caught[signo] = sigaction(signo, &action, &previousActions[signo]) == 0;
    }
}

void restoreHandlers() {
    for (int signo = 1; signo < NSIG; ++signo) {
        if (caught[signo]) sigaction(signo, &previousActions[signo], nullptr);
    }
}

}  // namespace

bool waitForKeyPress(const char* prompt) {
    // The controlling terminal, not standard input: the line end after the
    // menu choice stays unread there, and input may come from a pipe.
    ttyFd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    // With both input and output away from the terminal (answers from a file,
    // the report into another) nobody would see the prompt the key is awaited
    // for there, so there is no wait.
    if (ttyFd < 0 || tcgetattr(ttyFd, &savedSettings) != 0 ||
        (!isTheTerminal(STDOUT_FILENO) && !isTheTerminal(STDIN_FILENO))) {
        std::cout << prompt << std::flush;
        if (ttyFd >= 0) close(ttyFd);
        ttyFd = -1;
        return static_cast<bool>(std::cout);
    }
    keySettings = savedSettings;
    // ICANON off: a key is delivered without waiting for Enter.
    // ECHO off: the key is not shown.
    keySettings.c_lflag &= ~(ICANON | ECHO);
    // VMIN 1, VTIME 0: read() returns as soon as one byte has arrived.
    keySettings.c_cc[VMIN] = 1;
    keySettings.c_cc[VTIME] = 0;

    // The handlers are in place before the terminal changes, so no signal
    // can leave it without echo.
    installHandlers();
    // TCSANOW rather than TCSAFLUSH: a key typed ahead still counts.
    tcsetattr(ttyFd, TCSANOW, &keySettings);
    // The settings change before the prompt shows, so a key pressed the
    // moment it appears is never echoed.
    std::cout << prompt << std::flush;

    unsigned char key = 0;
    if (std::cout && readByte(&key)) {
        // One key may send several bytes (a UTF-8 character, an emoji with a
        // skin tone, an escape sequence, ESC before one for Alt), and keys may
        // come in a burst: everything already queued belongs to this press,
        // so none of it reaches the next prompt unseen.
        std::string sent(1, static_cast<char>(key));
        keySettings.c_cc[VMIN] = 0;
        tcsetattr(ttyFd, TCSANOW, &keySettings);
        bool waited = false;
        for (;;) {
            if (readByte(&key)) {
                sent += static_cast<char>(key);
                continue;
            }
            // Over a slow link the rest of a sequence may still be on its way.
            if (waited || !keyUnfinished(sent)) break;
            keySettings.c_cc[VTIME] = 1;  // tenths of a second
            tcsetattr(ttyFd, TCSANOW, &keySettings);
            waited = true;
        }
    }

    tcsetattr(ttyFd, TCSANOW, &savedSettings);
    restoreHandlers();
    close(ttyFd);
    ttyFd = -1;
    return static_cast<bool>(std::cout);
}

void openConsole() {
    // Any of descriptors 0, 1 and 2 that is closed gets /dev/null, so that
    // the server connection can never become one of them. Standard output
    // gets a descriptor that refuses writes, so a closed one still fails as
    // it would.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 2 ? O_WRONLY : O_RDONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

void closeConsole() {
    // The pause restores the terminal itself, on every way out of it.
}

bool isTerminal(int fd) {
    return isatty(fd);
}
