// The fixed buffers never overrun: appending refuses at the boundary, cutting
// short keeps what fits, and text Windows left without a terminator stops
// inside the buffer.
#include <gtest/gtest.h>

#include <string>

#include "fixed_text.h"

namespace zendrik {
namespace {

TEST(FixedText, StartsEmptyAndCleared) {
    PathText text;
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(std::wstring(text.c_str()), L"");
}

TEST(FixedText, AppendFillsToTheLastCharacterBeforeTheTerminator) {
    PathText text;
    ASSERT_TRUE(text.Append(std::wstring(258, L'a').c_str()));
    EXPECT_TRUE(text.Append(L"b"));
    EXPECT_EQ(text.length(), 259u);
    EXPECT_EQ(text.c_str()[259], L'\0');
}

TEST(FixedText, AppendThatWouldNotFitLeavesTheTextUnchanged) {
    PathText text;
    ASSERT_TRUE(text.Append(std::wstring(258, L'a').c_str()));
    EXPECT_FALSE(text.Append(L"bc"));
    EXPECT_EQ(std::wstring(text.c_str()), std::wstring(258, L'a'));

    PathText fresh;
    EXPECT_FALSE(fresh.Append(std::wstring(260, L'z').c_str()));
    EXPECT_TRUE(fresh.empty());
}

TEST(FixedText, NumbersInDecimalWithoutLeadingZeros) {
    for (const auto& [value, expected] :
         {std::pair{0u, L"0"}, std::pair{7u, L"7"}, std::pair{999u, L"999"},
          std::pair{1000u, L"1000"}, std::pair{4294967295u, L"4294967295"}}) {
        PathText text;
        ASSERT_TRUE(text.AppendNumber(value));
        EXPECT_EQ(std::wstring(text.c_str()), expected);
    }
}

TEST(FixedText, CutShortKeepsWhatFits) {
    FixedText<8> text;
    text.AppendCutShort(L"abc");
    text.AppendCutShort(L"defghij");
    EXPECT_EQ(std::wstring(text.c_str()), L"abcdefg");
    text.AppendCutShort(L"more");
    EXPECT_EQ(text.length(), 7u);
}

TEST(FixedText, AdoptWrittenCutsTextWithoutTerminator) {
    FixedText<8> text;
    for (std::size_t i = 0; i < FixedText<8>::kCapacity; ++i) {
        text.data()[i] = L'q';
    }
    text.AdoptWritten();
    EXPECT_EQ(std::wstring(text.c_str()), L"qqqqqqq");

    text.Clear();
    text.data()[0] = L'a';
    text.data()[1] = L'b';
    text.AdoptWritten();
    EXPECT_EQ(text.length(), 2u);
}

}  // namespace
}  // namespace zendrik
