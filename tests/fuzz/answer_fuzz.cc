// Feeds arbitrary text to the readers of the menu's answers, as typed at the
// prompts: choices and artist IDs, then a song text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "driver/menu.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::istringstream in(text);
    std::int64_t value = 0;
    // Every reading consumes some input or reports the end, so a prompt
    // asked again and again always comes to an end.
    std::size_t reads = 0;
    while (readInteger(in, value) != inputEnded) {
        if (++reads > size + 1) std::abort();
    }
    std::istringstream song(text);
    std::string line;
    if (readAnswerLine(song, line) == inputRead && line.find('\n') != std::string::npos) {
        std::abort();
    }
    return 0;
}
