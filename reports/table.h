#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

/// How text from the database is written: byte for byte (for a file or a
/// pipe), or with stand-ins for whatever could drive a terminal.
enum TextMode { textAsDelivered, textVisible };

/// Columns that `text` takes on a terminal, counted per extended grapheme
/// cluster: a cluster takes the width of its first character (East Asian
/// wide characters and emoji 2), so combining marks, emoji joined by ZWJ or
/// a skin tone and decomposed Hangul vowels and final consonants add nothing;
/// each byte that is not valid UTF-8 counts 1.
std::size_t displayWidth(std::string_view text);

/// The length of the longest start of `text` that does not stop inside a
/// UTF-8 character: all of it unless its last bytes begin a character whose
/// remaining bytes have not come yet.
std::size_t wholeCharacters(std::string_view text);

/// Appends `text` with each C0 control and DEL as its Unicode Control
/// Picture (ESC as U+241B) and each C1 control and each byte that is not
/// valid UTF-8 as U+FFFD; every stand-in takes one column. Returns the
/// columns the appended text takes.
std::size_t appendVisible(std::string& out, std::string_view text);

/// Appends one table line (without its line end) to `line`. Cell i is padded
/// with spaces to at least widths[i] display columns; a width of 0, or a
/// missing one, means no padding, and the last cell is never padded. A cell
/// already as wide as its width is written whole, so the next cell follows it
/// directly.
void appendTableLine(std::string& line, const std::vector<std::string_view>& cells,
                     const std::vector<std::size_t>& widths, TextMode mode = textAsDelivered);
