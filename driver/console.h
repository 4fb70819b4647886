#pragma once

/// Writes `prompt` to standard output, then waits for one key press on the
/// console, without echo and without waiting for Enter; the key is
/// discarded. Returns at once when there is no console to read from, and
/// returns false, without waiting, when standard output cannot be written.
bool waitForKeyPress(const char* prompt);
