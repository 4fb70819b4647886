#pragma once

/// Writes `prompt` to standard output, then waits for one key press on the
/// console, without echo and without waiting for Enter; the key is
/// discarded, with every byte that press sent and whatever else was already
/// typed. Returns at once when there is no console to read from, or when
/// neither standard input nor standard output is that console (nobody there
/// would see the prompt), and returns false, without waiting, when standard
/// output cannot be written.
bool waitForKeyPress(const char* prompt);
