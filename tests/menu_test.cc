#include "driver/menu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>

namespace {

TEST(ReadInteger, ReadsNumbersAndLeavesTheLineEnd) {
    std::istringstream in("  3\n-12\n\n  7 \n");
    std::int64_t value = 0;
    EXPECT_EQ(inputRead, readInteger(in, value));
    EXPECT_EQ(3, value);
    EXPECT_EQ('\n', in.peek());
    EXPECT_EQ(inputRead, readInteger(in, value));
    EXPECT_EQ(-12, value);
    EXPECT_EQ(inputRead, readInteger(in, value));
    EXPECT_EQ(7, value);
    EXPECT_EQ(inputEnded, readInteger(in, value));
}

TEST(ReadInteger, RejectsJunkAndDiscardsItsLine) {
    const char* junk[] = {"abc 2\n",
                          "2abc\n",
                          "12.5\n",
                          "-\n",
                          "999999999999999999999999999999\n",
                          "9223372036854775808\n",
                          "-9223372036854775809\n",
                          "\xFF\xFE\n",
                          "%\n"};
    for (const char* text : junk) {
        std::istringstream in(std::string(text) + "4\n");
        std::int64_t value = 0;
        EXPECT_EQ(inputInvalid, readInteger(in, value)) << text;
        EXPECT_EQ(inputRead, readInteger(in, value)) << text;
        EXPECT_EQ(4, value) << text;
    }
    std::istringstream nul(
        std::string("\0"
                    "1\n4\n",
                    5));
    std::int64_t value = 0;
    EXPECT_EQ(inputInvalid, readInteger(nul, value));
    EXPECT_EQ(inputRead, readInteger(nul, value));
    EXPECT_EQ(4, value);
}

TEST(ReadInteger, AcceptsTheLimitsOfA64BitInteger) {
    // A BIGINT artist ID may lie beyond the range of an int.
    std::istringstream in("9223372036854775807 -9223372036854775808 3000000000\r\n");
    std::int64_t value = 0;
    EXPECT_EQ(inputRead, readInteger(in, value));
    EXPECT_EQ(INT64_MAX, value);
    EXPECT_EQ(inputRead, readInteger(in, value));
    EXPECT_EQ(INT64_MIN, value);
    EXPECT_EQ(inputRead, readInteger(in, value));
    EXPECT_EQ(3000000000, value);
}

TEST(ReadInteger, EndOfInput) {
    std::int64_t value = 0;
    std::istringstream empty("");
    EXPECT_EQ(inputEnded, readInteger(empty, value));
    std::istringstream blank(" \n\n\t");
    EXPECT_EQ(inputEnded, readInteger(blank, value));
    // A number without a line end still counts; the end comes next.
    std::istringstream unended("4");
    EXPECT_EQ(inputRead, readInteger(unended, value));
    EXPECT_EQ(4, value);
    EXPECT_EQ(inputEnded, readInteger(unended, value));
    std::istringstream junkThenEnd("x");
    EXPECT_EQ(inputInvalid, readInteger(junkThenEnd, value));
    EXPECT_EQ(inputEnded, readInteger(junkThenEnd, value));
}

TEST(ReadAnswerLine, SkipsTheRestOfTheChoiceLine) {
    const char* sessions[][2] = {{"3\n  Don't stop \n", "  Don't stop "},
                                 {"3   \n\n", ""},
                                 {"3\nunended", "unended"},
                                 {"3\n%_\\'\n", "%_\\'"},
                                 // a file written on Windows; a CR inside stays
                                 {"3\r\nDon\r\n", "Don"},
                                 {"3\nA\rB\r", "A\rB"}};
    for (const auto& session : sessions) {
        std::istringstream in(session[0]);
        std::int64_t choice = 0;
        ASSERT_EQ(inputRead, readInteger(in, choice));
        std::string line;
        EXPECT_EQ(inputRead, readAnswerLine(in, line)) << session[0];
        EXPECT_EQ(session[1], line);
    }
}

TEST(ReadAnswerLine, EndOfInput) {
    std::string line = "old";
    std::istringstream noAnswer("3\n");
    EXPECT_EQ(inputEnded, readAnswerLine(noAnswer, line));
    std::istringstream nothing("");
    EXPECT_EQ(inputEnded, readAnswerLine(nothing, line));
}

}  // namespace
