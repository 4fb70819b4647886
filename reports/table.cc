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

}  // namespace

std::size_t displayWidth(std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto size = static_cast<utf8proc_ssize_t>(text.size());
    std::size_t width = 0;
    utf8proc_ssize_t at = 0;
    while (at < size) {
        // ASCII keeps the byte count that plain stream padding gave.
        if (bytes[at] < 0x80) {
            ++width;
            ++at;
            continue;
        }
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, size - at, &codepoint);
        if (length <= 0) {
            ++width;  // an invalid byte is shown as one replacement glyph
            ++at;
            continue;
        }
        width += static_cast<std::size_t>(utf8proc_charwidth(codepoint));
        at += length;
    }
    return width;
}

std::size_t appendVisible(std::string& out, std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto size = static_cast<utf8proc_ssize_t>(text.size());
    std::size_t width = 0;
    utf8proc_ssize_t at = 0;
    while (at < size) {
        // Runs of plain ASCII, the common case, go in one piece.
        utf8proc_ssize_t end = at;
        while (end < size && printableAscii(bytes[end])) ++end;
        if (end > at) {
            out.append(text.data() + at, static_cast<std::size_t>(end - at));
            width += static_cast<std::size_t>(end - at);
            at = end;
            continue;
        }
        if (bytes[at] < 0x80) {
            appendCodepoint(out, bytes[at] == 0x7F ? 0x2421 : 0x2400 + bytes[at]);
            ++width;
            ++at;
            continue;
        }
        utf8proc_int32_t codepoint = 0;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes + at, size - at, &codepoint);
        if (length <= 0 || codepoint <= 0x9F) {
            appendCodepoint(out, 0xFFFD);
            ++width;
            at += length <= 0 ? 1 : length;
            continue;
        }
        out.append(text.data() + at, static_cast<std::size_t>(length));
        width += static_cast<std::size_t>(utf8proc_charwidth(codepoint));
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
