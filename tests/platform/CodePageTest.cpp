#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <string>

namespace koruvan::platform {
namespace {

std::string Converted(int codePage, std::string_view bytes) {
    std::string out = "stale";
    EXPECT_TRUE(ConvertToSystemCodePage(codePage, bytes, out)) << "code page " << codePage;
    return out;
}

TEST(CodePage, TheFourEastAsianCodePagesConvertToUtf8) {
    EXPECT_EQ(Converted(kCodePageGbk, "\xD6\xD0\xCE\xC4"), "中文");
    EXPECT_EQ(Converted(kCodePageBig5, "\xA4\xA4\xA4\xE5"), "中文");
    EXPECT_EQ(Converted(kCodePageKorean, "\xC7\xD1\xB1\xDB"), "한글");
    EXPECT_EQ(Converted(kCodePageShiftJis, "\x93\xFA\x96\x7B"), "日本");
    // GBK text mixed with ASCII, and the euro sign the Windows table adds at 0x80.
    EXPECT_EQ(Converted(kCodePageGbk, "v1.0 \xD6\xD0\x80.cab"), "v1.0 中€.cab");
}

TEST(CodePage, JapaneseKeepsBackslashAndTildeAsWindowsDoes) {
    // Strict Shift-JIS would give a yen sign and an overline here.
    EXPECT_EQ(Converted(kCodePageShiftJis, "a\\b~"), "a\\b~");
}

TEST(CodePage, InvalidOrTruncatedSequencesFailWithAnEmptyText) {
    std::string out = "stale";
    EXPECT_FALSE(ConvertToSystemCodePage(kCodePageGbk, "ab\xD6", out));  // lead byte cut off
    EXPECT_TRUE(out.empty());
    out = "stale";
    EXPECT_FALSE(ConvertToSystemCodePage(kCodePageGbk, "\xFF\xFF", out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(ConvertToSystemCodePage(kCodePageUtf8, "\xC3(", out));
}

TEST(CodePage, UnknownCodePagesAreRefused) {
    std::string out;
    EXPECT_FALSE(ConvertToSystemCodePage(0, "abc", out));
    EXPECT_FALSE(ConvertToSystemCodePage(-5, "abc", out));
    EXPECT_FALSE(ConvertToSystemCodePage(12345, "abc", out));
    EXPECT_FALSE(IsCodePageSupported(12345));
    EXPECT_TRUE(IsCodePageSupported(kCodePageGbk));
    // Other Windows code pages go through their "CP" names.
    EXPECT_EQ(Converted(1252, "caf\xE9"), "café");
}

TEST(CodePage, LongTextsGrowTheOutputAndEmptyTextsConvertToEmpty) {
    std::string gbk;
    std::string expected;
    for (int i = 0; i < 5000; ++i) {
        gbk += "\xD6\xD0";  // two bytes in, three out
        expected += "中";
    }
    EXPECT_EQ(Converted(kCodePageGbk, gbk), expected);
    EXPECT_EQ(Converted(kCodePageBig5, ""), "");
}

}  // namespace
}  // namespace koruvan::platform
