// Lays out arbitrary bytes as table cells and checks what every line must be:
// the cells in order and whole, padded only up to their widths, no padding
// after the last.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "reports/table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the widths; the rest, split at '|', are the cells.
    const std::vector<std::size_t> widths = {data[0] % 32u, data[0] / 32u * 5};
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::string_view> cells;
    std::size_t start = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        if (at == text.size() || text[at] == '|') {
            cells.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    }

    std::string line;
    appendTableLine(line, cells, widths);
    std::size_t at = 0;
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (line.compare(at, cells[i].size(), cells[i]) != 0) std::abort();
        at += cells[i].size();
        const std::size_t width = i + 1 < cells.size() && i < widths.size() ? widths[i] : 0;
        const std::size_t shown = displayWidth(cells[i]);
        if (shown > cells[i].size()) std::abort();
        const std::size_t padding = shown < width ? width - shown : 0;
        if (line.compare(at, padding, std::string(padding, ' ')) != 0) std::abort();
        at += padding;
    }
    if (at != line.size()) std::abort();

    // On a terminal: no control byte and only valid UTF-8, so that showing the
    // line once more changes nothing.
    std::string shown;
    appendTableLine(shown, cells, widths, textVisible);
    for (const char c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) std::abort();
    }
    std::string check;
    if (appendVisible(check, shown) != displayWidth(shown) || check != shown) std::abort();
    return 0;
}
