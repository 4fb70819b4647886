#include "reports/table.h"

#include <gtest/gtest.h>

namespace {

std::string line(const std::vector<std::string_view>& cells, const std::vector<std::size_t>& widths,
                 TextMode mode = textAsDelivered) {
    std::string text;
    appendTableLine(text, cells, widths, mode);
    return text;
}

TEST(DisplayWidth, CountsTerminalColumns) {
    EXPECT_EQ(0u, displayWidth(""));
    EXPECT_EQ(9u, displayWidth("Artist ID"));
    EXPECT_EQ(4u, displayWidth("J\xC3\xB3ga"));          // precomposed ó
    EXPECT_EQ(3u, displayWidth("Zoe\xCC\x88"));          // e and a combining diaeresis
    EXPECT_EQ(8u, displayWidth("坂本龍一"));             // four wide characters
    EXPECT_EQ(5u, displayWidth("a\xF0\x9F\x8E\xB8!!"));  // 🎸 takes two columns
    // Per grapheme cluster, as terminals draw them:
    EXPECT_EQ(3u, displayWidth("👨\u200D👩\u200D👧\u200D👦!"));  // one family, joined by ZWJ
    EXPECT_EQ(4u, displayWidth("\u1112\u1161\u11AB\u1100\u116E\u11A8"));  // 한국, decomposed
    EXPECT_EQ(2u, displayWidth("\uD55C\u11A8"));  // 한 and a final consonant
    EXPECT_EQ(3u, displayWidth("👍🏽x"));     // a skin tone joins the emoji
}

TEST(DisplayWidth, CountsEachInvalidByteAsOneColumn) {
    EXPECT_EQ(3u, displayWidth("a\xFF"
                               "b"));
    EXPECT_EQ(2u, displayWidth("a\xC3"));  // a lead byte cut off at the end
    EXPECT_EQ(4u, displayWidth("\xE5\x9D"
                               "ab"));  // a wide character cut short
    EXPECT_EQ(2u, displayWidth(std::string_view("\0x", 2)));
}

TEST(WholeCharacters, HoldsBackOnlyACharacterStillComing) {
    EXPECT_EQ(0u, wholeCharacters(""));
    EXPECT_EQ(6u, wholeCharacters("Bj\xC3\xB6rk"));
    EXPECT_EQ(2u, wholeCharacters("Bj\xC3"));
    EXPECT_EQ(1u, wholeCharacters("a\xE6\x99"));
    EXPECT_EQ(1u, wholeCharacters("a\xF0\x9F\x98"));
    EXPECT_EQ(5u, wholeCharacters("a\xF0\x9F\x98\x80"));
    // Bytes that can never complete a character are not held back.
    EXPECT_EQ(3u, wholeCharacters("a\x80\x80"));
    EXPECT_EQ(2u, wholeCharacters("\xC3\n"));
}

TEST(TableLine, PadsEachCellButTheLastToItsWidth) {
    EXPECT_EQ("Artist ID      First Name          Last Name",
              line({"Artist ID", "First Name", "Last Name"}, {15, 20}));
    EXPECT_EQ("7              Ann                 Lee", line({"7", "Ann", "Lee"}, {15, 20}));
    // A width on the last cell would leave spaces at the end of the line.
    EXPECT_EQ("a    b", line({"a", "b"}, {5, 5}));
    EXPECT_EQ("", line({}, {}));
}

TEST(TableLine, WritesCellsAsLongAsTheirWidthWhole) {
    EXPECT_EQ("123456789012345Ann", line({"123456789012345", "Ann"}, {15}));
    EXPECT_EQ("1234567890123456Ann", line({"1234567890123456", "Ann"}, {15}));
    EXPECT_EQ("Lee", line({"", "Lee"}, {0}));
}

TEST(TableLine, PadsByDisplayWidth) {
    EXPECT_EQ("Bj\xC3\xB6rk |", line({"Bj\xC3\xB6rk", "|"}, {6}));
    EXPECT_EQ("坂本龍一  |", line({"坂本龍一", "|"}, {10}));
    EXPECT_EQ("Zoe\xCC\x88   |", line({"Zoe\xCC\x88", "|"}, {6}));
    EXPECT_EQ("👨\u200D👧 |", line({"👨\u200D👧", "|"}, {3}, textVisible));
    // Invalid bytes are written as they came.
    EXPECT_EQ("\xFF\xFE    |", line({"\xFF\xFE", "|"}, {6}));
}

TEST(TableLine, ShowsStandInsForControlsOnATerminal) {
    const struct {
        std::string_view cell, shown;
    } cases[] = {
        {"Evil\x1B]0;PWNED\x07", "Evil\u241B]0;PWNED\u2407"},  // retitles the window
        {"a\tb\nc\rd", "a\u2409b\u240Ac\u240Dd"},
        {std::string_view("\0\x1F\x7F", 3), "\u2400\u241F\u2421"},
        {"\xC2\x9B"
         "2J",
         "\uFFFD"
         "2J"},  // C1 CSI
        {"\xFF\xC3", "\uFFFD\uFFFD"},
        {"Bj\xC3\xB6rk \xE5\x9D\x82", "Bj\xC3\xB6rk \xE5\x9D\x82"},  // unchanged
    };
    for (const auto& c : cases) {
        // Every stand-in takes one column, and the padding counts it so.
        const std::size_t columns = displayWidth(c.shown);
        EXPECT_EQ(std::string(c.shown) + std::string(20 - columns, ' ') + "|",
                  line({c.cell, "|"}, {20}, textVisible))
            << c.cell;
        EXPECT_EQ(std::string(c.cell) + "|", line({c.cell, "|"}, {0}, textAsDelivered));
    }
    EXPECT_EQ("\u241B\u241B   \u2407", line({"\x1B\x1B", "\x07"}, {5}, textVisible));
}

}  // namespace
