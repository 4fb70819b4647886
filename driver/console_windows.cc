// All console handling of the program on Windows: the standard streams on a
// console, Ctrl-C and Ctrl-Break, and the single-key read of the pause.
//
// Text reaches a console through its UTF-16 calls, WriteConsoleW and
// ReadConsoleW, whatever code page it is in; the console's modes and code
// pages are never changed, so there is nothing to restore on any way out.
// To a file or a pipe the bytes go as the C run-time delivers them.

#include <windows.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <iterator>
#include <streambuf>
#include <string>

#include "console.h"
#include "reports/table.h"

namespace {

HANDLE standardHandle(int fd) {
    return GetStdHandle(fd == 0   ? STD_INPUT_HANDLE
                        : fd == 1 ? STD_OUTPUT_HANDLE
                                  : STD_ERROR_HANDLE);
}

/// A console's input or screen buffer; a file, a pipe or the NUL device
/// (which the C run-time's isatty takes for a terminal) is not.
bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

/// Set when Ctrl-C or Ctrl-Break came; the handler then ends the process.
std::atomic<bool> interrupted{false};

[[noreturn]] void endByInterrupt() {
    interrupted = true;
    // Windows' own status for a console program ended by Ctrl-C, so that the
    // caller can tell it from an Exit. TerminateProcess rather than
    // ExitProcess: the main thread may be halfway through writing a line, and
    // nothing may flush a stream it left that way.
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    for (;;) Sleep(INFINITE);
}

/// Runs on a thread of its own, which Windows starts for the event.
BOOL WINAPI onControlEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    endByInterrupt();
}

std::wstring toUtf16(const char* text, std::size_t size) {
    if (size == 0) return std::wstring();
    // Invalid UTF-8 becomes U+FFFD.
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(size), wide.data(), length);
    return wide;
}

std::string toUtf8(const wchar_t* text, std::size_t size) {
    if (size == 0) return std::string();
    // A lone surrogate becomes U+FFFD.
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(size), narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

/// Standard output or error on a console. The run-time would write a byte
/// at a time, in the console's code page; this writes each line, or what a
/// flush finds, in one call, as UTF-16. The standard library's stream buffer
/// is the one place where std::cout and std::cerr can be given another device.
class ConsoleOutput : public std::streambuf {
public:
    explicit ConsoleOutput(HANDLE console) : console_(console) {}

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        pending_ += traits_type::to_char_type(c);
        if (c == '\n' && !writePending()) return traits_type::eof();
        return c;
    }

    std::streamsize xsputn(const char* text, std::streamsize size) override {
        pending_.append(text, static_cast<std::size_t>(size));
        if (std::memchr(text, '\n', static_cast<std::size_t>(size)) != nullptr && !writePending()) {
            return 0;
        }
        return size;
    }

    int sync() override {
        return writePending() ? 0 : -1;
    }

private:
    bool writePending() {
        // A character cut by a flush waits for the rest of it.
        const std::size_t whole = wholeCharacters(pending_);
        const std::wstring wide = toUtf16(pending_.data(), whole);
        pending_.erase(0, whole);
        std::size_t done = 0;
        while (done < wide.size()) {
            DWORD written = 0;
            if (!WriteConsoleW(console_, wide.data() + done, static_cast<DWORD>(wide.size() - done),
                               &written, nullptr) ||
                written == 0) {
                return false;
            }
            done += written;
        }
        return true;
    }

    HANDLE console_;
    std::string pending_;
};

/// Standard input on a console: what the user types, read as UTF-16 and
/// handed on as UTF-8, with the line end the C run-time would give ("\n").
/// Ctrl-Z ends the input, as it does for console programs on Windows.
class ConsoleInput : public std::streambuf {
public:
    explicit ConsoleInput(HANDLE console) : console_(console) {}

protected:
    int_type underflow() override {
        while (gptr() == egptr()) {
            if (ended_) return traits_type::eof();
            readConsole();
            setg(text_.data(), text_.data(), text_.data() + text_.size());
        }
        return traits_type::to_int_type(*gptr());
    }

private:
    void readConsole() {
        // A cooked read returns once Enter is pressed, with the line, or as
        // much of it as fits; the rest comes with the next call.
        wchar_t read[1024];
        DWORD got = 0;
        text_.clear();
        if (!ReadConsoleW(console_, read, static_cast<DWORD>(std::size(read)), &got, nullptr) ||
            got == 0) {
            // Ctrl-C ends a read with nothing read, while its handler runs on
            // another thread; that must end the program, not this input.
            for (int wait = 0; wait < 100 && !interrupted; ++wait) Sleep(10);
            if (interrupted) endByInterrupt();
            ended_ = true;
            return;
        }
        std::wstring wide = cut_;
        cut_.clear();
        wide.append(read, got);
        const std::size_t end = wide.find(L'\x1A');
        if (end != std::wstring::npos) {
            wide.erase(end);
            ended_ = true;
        } else if (!wide.empty() && wide.back() >= 0xD800 && wide.back() <= 0xDBFF) {
            // The first half of a character beyond the basic plane; the
            // second comes with the next read.
            cut_ = wide.back();
            wide.pop_back();
        }
        std::wstring line;
        for (std::size_t at = 0; at < wide.size(); ++at) {
            if (wide[at] == L'\r' && at + 1 < wide.size() && wide[at + 1] == L'\n') continue;
            line += wide[at];
        }
        text_ = toUtf8(line.data(), line.size());
    }

    HANDLE console_;
    std::string text_;
    std::wstring cut_;
    bool ended_ = false;
};

std::streambuf* savedBuffers[3];

/// Keys that make no key press of their own.
bool onlyModifies(WORD key) {
    switch (key) {
        case VK_SHIFT:
        case VK_CONTROL:
        case VK_MENU:
        case VK_LWIN:
        case VK_RWIN:
        case VK_CAPITAL:
        case VK_NUMLOCK:
        case VK_SCROLL:
            return true;
        default:
            return false;
    }
}

}  // namespace

void openConsole() {
    // Made once and never freed: the run-time may still flush the streams
    // while the process ends, after every object of the program is gone.
    std::ostream* outputs[3] = {nullptr, &std::cout, &std::cerr};
    for (int fd = 1; fd <= 2; ++fd) {
        const HANDLE handle = standardHandle(fd);
        if (!isConsole(handle)) continue;
        outputs[fd]->flush();
        savedBuffers[fd] = outputs[fd]->rdbuf(new ConsoleOutput(handle));
    }
    if (isConsole(standardHandle(0))) {
        savedBuffers[0] = std::cin.rdbuf(new ConsoleInput(standardHandle(0)));
    }
    SetConsoleCtrlHandler(onControlEvent, TRUE);
}

void closeConsole() {
    std::cout.flush();
    std::cerr.flush();
    SetConsoleCtrlHandler(onControlEvent, FALSE);
    std::ios* streams[3] = {&std::cin, &std::cout, &std::cerr};
    for (int fd = 0; fd <= 2; ++fd) {
        if (savedBuffers[fd] != nullptr) streams[fd]->rdbuf(savedBuffers[fd]);
        savedBuffers[fd] = nullptr;
    }
}

bool isTerminal(int fd) {
    return isConsole(standardHandle(fd));
}

bool waitForKeyPress(const char* prompt) {
    std::cout << prompt << std::flush;
    if (!std::cout) return false;
    // Nobody at the console sees the prompt: answers from a file, the report
    // into another.
    if (!isTerminal(0) && !isTerminal(1)) return true;
    // The console's own input, also when standard input is a pipe.
    const HANDLE input =
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return true;
    // Key events, not characters: an arrow or a function key counts as a key
    // press as a letter does, and nothing is echoed.
    INPUT_RECORD event;
    DWORD got = 0;
    while (ReadConsoleInputW(input, &event, 1, &got) && got == 1) {
        if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown) continue;
        // A console whose input mode lets Ctrl-C through as a character.
        if (event.Event.KeyEvent.uChar.UnicodeChar == 3) endByInterrupt();
        if (!onlyModifies(event.Event.KeyEvent.wVirtualKeyCode)) break;
    }
    // The rest of this press (its key-up, the events of a pasted burst) and
    // whatever was typed ahead belong to it, not to the next prompt.
    FlushConsoleInputBuffer(input);
    CloseHandle(input);
    return true;
}

bool eightBitTerminal(int) {
    // The console takes every character in UTF-16, whatever its code page.
    return false;
}

void appendForEightBitTerminal(std::string& out, std::string_view text) {
    out.append(text);
}

std::string toEightBitTerminal(std::string_view text) {
    return std::string(text);
}
