#include "table.h"

#include <utf8proc.h>

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

void appendTableLine(std::string& line, const std::vector<std::string_view>& cells,
                     const std::vector<std::size_t>& widths) {
    for (std::size_t i = 0; i < cells.size(); ++i) {
        line.append(cells[i]);
        const std::size_t width = i < widths.size() ? widths[i] : 0;
        // Padding after the last cell would only be trailing spaces.
        if (width == 0 || i + 1 == cells.size()) continue;
        const std::size_t used = displayWidth(cells[i]);
        if (used < width) line.append(width - used, ' ');
    }
}
