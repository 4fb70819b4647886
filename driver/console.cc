// All terminal handling of the program: the single-key read of the pause.

#include "console.h"

#include <iostream>

#ifdef _WIN32

#include <conio.h>

bool waitForKeyPress(const char* prompt) {
    std::cout << prompt << std::flush;
    if (!std::cout) return false;
    // Arrow and function keys come as 0 or 0xE0, then a second code.
    const int key = _getch();
    if (key == 0 || key == 0xE0) _getch();
    return true;
}

#else

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

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
    if (ttyFd < 0 || tcgetattr(ttyFd, &savedSettings) != 0) {
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
        // One key may send several bytes (a UTF-8 character, an arrow key's
        // escape sequence); they arrive together, so what is already queued
        // of it is read too, and nothing typed after it.
        keySettings.c_cc[VMIN] = 0;
        tcsetattr(ttyFd, TCSANOW, &keySettings);
        if (key >= 0xC0) {
            int following = key >= 0xF0 ? 3 : key >= 0xE0 ? 2 : 1;
            while (following-- > 0 && readByte(&key)) {
            }
        } else if (key == 0x1B && readByte(&key) && (key == '[' || key == 'O')) {
            while (readByte(&key) && !(key >= 0x40 && key <= 0x7E)) {
            }
        }
    }

    tcsetattr(ttyFd, TCSANOW, &savedSettings);
    restoreHandlers();
    close(ttyFd);
    ttyFd = -1;
    return static_cast<bool>(std::cout);
}

#endif
