#pragma once

// The program's only contact with the terminal or console, one file per
// platform behind this interface: the standard streams, the pause, and how
// text must be shaped for the screen.

#include <string>
#include <string_view>

/// Readies the standard streams before anything else runs; the console's
/// own settings are left as they were found, or restored by closeConsole and
/// on every way out that ends the program.
void openConsole();

/// Writes out what is pending and gives back what openConsole took.
void closeConsole();

/// Whether descriptor `fd` (0, 1 or 2) is a terminal or console, where text
/// from the database must be shown, never obeyed.
bool isTerminal(int fd);

/// Writes `prompt` to standard output, then waits for one key press on the
/// console, without echo and without waiting for Enter; the key is
/// discarded, with every byte that press sent and whatever else was already
/// typed. Returns at once when there is no console to read from, or when
/// neither standard input nor standard output is that console (nobody there
/// would see the prompt), and returns false, without waiting, when standard
/// output cannot be written.
bool waitForKeyPress(const char* prompt);

/// Whether text written to `fd` goes to a terminal in an 8-bit character set:
/// one the C library's locale (LC_CTYPE, as the environment sets it) names,
/// other than UTF-8 and ASCII. There, UTF-8 bytes 0x80 to 0x9F would act as
/// C1 controls.
bool eightBitTerminal(int fd);

/// Appends `text`, as UTF-8 still, with every control, every byte that is
/// not valid UTF-8 and every character that character set lacks as "?", so
/// that what remains can be laid out by its columns and then converted.
void appendForEightBitTerminal(std::string& out, std::string_view text);

/// Converts text made by appendForEightBitTerminal to that character set.
std::string toEightBitTerminal(std::string_view text);
