#include "table.h"

#include <utf8proc.h>

namespace {

bool printableAscii(unsigned char byte) {
    return byte >= 0x20 && byte < 0x7F;
}

void appendCodepoint(std::string& out, utf8proc_int32_t codepoint) {
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t length = utf8proc_encode_char(codepoint, encoded);
    out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
}

/// Columns that `codepoint` adds to its text. Terminals draw an extended
/// grapheme cluster as one group as wide as its first character: a family
/// joined by ZWJ takes two columns, not eight, and decomposed Hangul vowels
/// and final consonants none.
/// `previous` is the code point before it, or -1 at a cluster boundary that
/// needs no look-up (text start, a control, an invalid byte).
std::size_t columnsAdded(utf8proc_int32_t codepoint, utf8proc_int32_t& previous,
                         utf8proc_int32_t& state) {
    const bool startsCluster =
        previous < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state);
    previous = codepoint;
    return startsCluster ? static_cast<std::size_t>(utf8proc_charwidth(codepoint)) : 0;
}

/// Takes a run of ASCII as one column a byte, as plain stream padding did,
/// and leaves `previous` and `state` as the per-code-point look-up would
/// have: every ASCII character starts a cluster of its own (a prepended mark
/// before one, rare, is counted apart).
std::size_t asciiRunColumns(const utf8proc_uint8_t* run, utf8proc_ssize_t length,
                            utf8proc_int32_t& previous, utf8proc_int32_t& state) {
    previous = run[length - 1];
    state = 0;
    return static_cast<std::size_t>(length);
}

}  // namespace

std::size_t displayWidth(std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto size = static_cast<utf8proc_ssize_t>(text.size());
    std::size_t width = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    utf8proc_ssize_t at = 0;
    while (at < size) {
        // ASCII keeps the byte count that plain stream padding gave.
        if (bytes[at] < 0x80) {
            utf8proc_ssize_t end = at;
            while (end < size && bytes[end] < 0x80) ++end;
            width += asciiRunColumns(bytes + at, end - at, previous, state);
            at = end;
            continue;
        }
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, size - at, &codepoint);
        if (length <= 0) {
            ++width;  // an invalid byte is shown as one replacement glyph
            ++at;
            previous = -1;
            state = 0;
            continue;
        }
        width += columnsAdded(codepoint, previous, state);
        at += length;
    }
    return width;
}

std::size_t wholeCharacters(std::string_view text) {
    std::size_t lead = text.size();
    std::size_t continuations = 0;
    while (lead > 0 && continuations < 3 &&
           (static_cast<unsigned char>(text[lead - 1]) & 0xC0) == 0x80) {
        --lead;
        ++continuations;
    }
    if (lead == 0) return text.size();
    const auto byte = static_cast<unsigned char>(text[lead - 1]);
    const std::size_t needed = byte >= 0xF0 ? 3 : byte >= 0xE0 ? 2 : byte >= 0xC0 ? 1 : 0;
    return continuations < needed ? lead - 1 : text.size();
}

std::size_t appendVisible(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto size = static_cast<utf8proc_ssize_t>(text.size());
    std::size_t width = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    utf8proc_ssize_t at = 0;
    while (at < size) {
        // Runs of plain ASCII, the common case, go in one piece.
        utf8proc_ssize_t end = at;
        while (end < size && printableAscii(bytes[end])) ++end;
        if (end > at) {
            out.append(text.data() + at, static_cast<std::size_t>(end - at));
            width += asciiRunColumns(bytes + at, end - at, previous, state);
            at = end;
            continue;
        }
        // A stand-in is measured as the character the terminal is given.
        if (bytes[at] < 0x80) {
            const utf8proc_int32_t standIn = bytes[at] == 0x7F ? 0x2421 : 0x2400 + bytes[at];
            appendCodepoint(out, standIn);
            width += columnsAdded(standIn, previous, state);
            ++at;
            continue;
        }
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, size - at, &codepoint);
        if (length <= 0 || codepoint <= 0x9F) {
            appendCodepoint(out, 0xFFFD);
            width += columnsAdded(0xFFFD, previous, state);
            at += length <= 0 ? 1 : length;
            continue;
        }
        out.append(text.data() + at, static_cast<std::size_t>(length));
        width += columnsAdded(codepoint, previous, state);
        at += length;
    }
    return width;
}

void appendTableLine(std::string& line, const std::vector<std::string_view>& cells,
                     const std::vector<std::size_t>& widths, TextMode mode) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const std::size_t width = i < widths.size() ? widths[i] : 0;
        // Padding after the last cell would only be trailing spaces.
        const bool padded = width != 0 && i + 1 != cells.size();
        std::size_t used = 0;
        if (mode == textVisible) {
            used = appendVisible(line, cells[i]);
        } else {
            line.append(cells[i]);
            if (padded) used = displayWidth(cells[i]);
        }
        if (padded && used < width) line.append(width - used, ' ');
    }
}
