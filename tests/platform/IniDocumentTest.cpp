#include "platform/IniDocument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace koruvan::platform {
namespace {

using Strings = std::vector<std::string>;

IniDocument Doc(std::string_view text) {
    return IniDocument::Parse(text);
}

TEST(IniLookup, NamesMatchIgnoringCaseAndBlanks) {
    const auto doc =
        Doc("[KoruvanTask]\n"
            "KoruvanTaskHash = abc123  \n"
            "\tKoruvanTaskSavePath=\t/home/u/vemo221047\n"
            "  [ Other ]  \n"
            "key=other\n");
    EXPECT_EQ(doc.Find("koruvantask", "KORUVANTASKHASH"), "abc123");
    EXPECT_EQ(doc.Find(" KoruvanTask ", " koruvantasksavepath"), "/home/u/vemo221047");
    EXPECT_EQ(doc.Find("other", "KEY"), "other");
    EXPECT_EQ(doc.Find("KoruvanTask", "key"), std::nullopt);  // keys belong to one section
    EXPECT_EQ(doc.Find("Missing", "key"), std::nullopt);
    EXPECT_EQ(doc.GetString("KoruvanTask", "Missing", "fallback"), "fallback");
    EXPECT_EQ(doc.GetString("Missing", "Missing", ""), "");
}

TEST(IniLookup, OnePairOfMatchingQuotesIsRemoved) {
    const auto doc =
        Doc("[s]\n"
            "double=\" padded value \"\n"
            "single='single'\n"
            "twice=\"\"inner\"\"\n"
            "mixed=\"open'\n"
            "lone=\"\n"
            "inside=a \"b\" c\n"
            "empty=\"\"\n");
    EXPECT_EQ(doc.Find("s", "double"), " padded value ");
    EXPECT_EQ(doc.Find("s", "single"), "single");
    EXPECT_EQ(doc.Find("s", "twice"), "\"inner\"");
    EXPECT_EQ(doc.Find("s", "mixed"), "\"open'");
    EXPECT_EQ(doc.Find("s", "lone"), "\"");
    EXPECT_EQ(doc.Find("s", "inside"), "a \"b\" c");
    EXPECT_EQ(doc.Find("s", "empty"), "");
}

TEST(IniLookup, FirstOccurrenceWinsAndStrayLinesAreIgnored) {
    const auto doc =
        Doc("orphan=before any section\n"
            "[s]\n"
            "k=first\n"
            "no equals sign here\n"
            "=no key\n"
            "; k=commented out\n"
            "k=second\n"
            "value=has=equals\n"
            "[S]\n"
            "k=third\n"
            "extra=only here\n");
    EXPECT_EQ(doc.Find("s", "k"), "first");
    EXPECT_EQ(doc.Find("s", "value"), "has=equals");
    EXPECT_EQ(doc.Find("s", "extra"), std::nullopt);  // only the first [s] is read
    EXPECT_EQ(doc.Find("", "orphan"), std::nullopt);
    EXPECT_EQ(doc.Sections(), Strings({"s"}));
    EXPECT_EQ(doc.Keys("S"), Strings({"k", "value"}));
}

TEST(IniLookup, ChineseTextPassesThroughUnchanged) {
    const auto doc =
        Doc("[下载任务]\n"
            "保存路径=/home/用户/游戏 下载\n"
            "Note=目标文件被删除或移动，请重新下载\n");
    EXPECT_EQ(doc.Find("下载任务", "保存路径"), "/home/用户/游戏 下载");
    EXPECT_EQ(doc.Find("下载任务", "note"), "目标文件被删除或移动，请重新下载");
}

TEST(ProfileInt, FollowsThePrivateProfileIntegerRules) {
    struct Case {
        std::optional<std::string_view> value;
        int defaultValue;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {std::nullopt, 35, 35},           // missing key
        {std::nullopt, -1, 0xFFFFFFFFu},  // a negative default comes back unsigned
        {"", 7, 7},                       // empty value counts as missing
        {"102", 0, 102},
        {"102abc", 0, 102},  // leading digits only
        {"  42  ", 0, 42},
        {"+8", 0, 8},
        {"abc", 9, 0},   // present but not a number
        {"0x10", 9, 0},  // no hexadecimal
        {"-", 9, 0},
        {"-5", 9, 0},  // negative values give 0
        {"-0", 9, 0},
        {"4294967295", 0, 4294967295u},
        {"4294967296", 0, 4294967295u},  // saturates
        {"99999999999999999999999", 0, 4294967295u},
        {"0007", 0, 7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ProfileInt(c.value, c.defaultValue), c.expected)
            << "value '" << c.value.value_or("<missing>") << "'";
    }
    const auto doc = Doc("[KoruvanTask]\nKoruvanCloseSelection=2\nKoruvanTaskLink=\"150\"\n");
    EXPECT_EQ(doc.GetInt("koruvantask", "KoruvanCloseSelection", 0), 2u);
    EXPECT_EQ(doc.GetInt("KoruvanTask", "KoruvanTaskLink", 35), 150u);
    EXPECT_EQ(doc.GetInt("KoruvanTask", "Missing", 35), 35u);
}

TEST(IniEdit, ParseAndSerializeAreExactInverses) {
    const std::string texts[] = {
        "",
        "no newline at end",
        "\n\n\n",
        "[a]\r\nk=v\r\n; comment\r\n\r\n[b]\nx=y",
        "lone\rcarriage return\n",
        std::string("nul\0byte=1\n", 11),
        "\xEF\xBB\xBF[bom]\nk=v\n",
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(Doc(text).Serialize(), text);
    }
}

TEST(IniEdit, SetKeepsEverythingElseInPlace) {
    auto doc =
        Doc("; written by the downloader\n"
            "[KoruvanTask]\n"
            "KoruvanTaskHash=old\n"
            "; keep me\n"
            "KoruvanTaskSavePath=/s\n"
            "\n"
            "[KoruvanFinishInfo]\n"
            "KoruvanTask0FileSizeLow=5\n");
    ASSERT_TRUE(doc.Set("koruvantask", "KORUVANTASKHASH", "new"));
    ASSERT_TRUE(doc.Set("KoruvanTask", "KoruvanTaskDownloadTime", "12"));
    ASSERT_TRUE(doc.Set("Added", "k", "v"));
    EXPECT_EQ(doc.Serialize(),
              "; written by the downloader\n"
              "[KoruvanTask]\n"
              "KoruvanTaskHash=new\n"
              "; keep me\n"
              "KoruvanTaskSavePath=/s\n"
              "KoruvanTaskDownloadTime=12\n"  // after the last line of the section
              "\n"
              "[KoruvanFinishInfo]\n"
              "KoruvanTask0FileSizeLow=5\n"
              "[Added]\n"
              "k=v\n");
}

TEST(IniEdit, NewLinesFollowTheDocumentLineEndings) {
    auto doc = Doc("[a]\r\nk=v");  // CR LF, last line unterminated
    ASSERT_TRUE(doc.Set("a", "n", "1"));
    ASSERT_TRUE(doc.Set("b", "m", "2"));
    EXPECT_EQ(doc.Serialize(), "[a]\r\nk=v\r\nn=1\r\n[b]\r\nm=2\r\n");

    IniDocument fresh;
    ASSERT_TRUE(fresh.Set("s", "k", "v"));
    EXPECT_EQ(fresh.Serialize(), "[s]\nk=v\n");

    auto bom = Doc("\xEF\xBB\xBF[s]\nk=v\n");
    EXPECT_EQ(bom.Find("s", "k"), "v");  // the mark does not hide the first section
    ASSERT_TRUE(bom.Set("s", "k", "w"));
    EXPECT_EQ(bom.Serialize(), "\xEF\xBB\xBF[s]\nk=w\n");
}

TEST(IniEdit, ValuesReadBackExactlyAsWritten) {
    const std::string values[] = {
        "plain", "",      " leading",   "trailing\t", "\"quoted\"", "'single'",
        "\"",    "a=b;c", "中文 路径 ", "  ",         "x\"",        "\"\"",
    };
    for (const std::string& value : values) {
        IniDocument doc;
        ASSERT_TRUE(doc.Set("s", "k", value));
        EXPECT_EQ(doc.Find("s", "k"), value) << doc.Serialize();
        EXPECT_EQ(Doc(doc.Serialize()).Find("s", "k"), value);
    }
}

TEST(IniEdit, RefusesTextThatWouldNotReadBack) {
    const std::string original = "[s]\nk=v\n";
    auto doc = Doc(original);
    EXPECT_FALSE(doc.Set("s", "k", "line\ninjected=1"));
    EXPECT_FALSE(doc.Set("s", "k", "cr\rx"));
    EXPECT_FALSE(doc.Set("s", "a=b", "v"));
    EXPECT_FALSE(doc.Set("s", "", "v"));
    EXPECT_FALSE(doc.Set("s", "  ", "v"));
    EXPECT_FALSE(doc.Set("s", "[x]", "v"));
    EXPECT_FALSE(doc.Set("s", ";k", "v"));
    EXPECT_FALSE(doc.Set("s]x", "k", "v"));
    EXPECT_FALSE(doc.Set("s\n[t", "k", "v"));
    EXPECT_EQ(doc.Serialize(), original);
}

TEST(IniEdit, RemoveKeyAndSectionTakeEveryOccurrence) {
    auto doc =
        Doc("[a]\n"
            "k=1\n"
            "K=2\n"
            "other=3\n"
            "[b]\n"
            "; about b\n"
            "x=1\n"
            "[c]\n"
            "y=2\n"
            "[B]\n"
            "x=again\n");
    EXPECT_TRUE(doc.RemoveKey("A", "k"));
    EXPECT_EQ(doc.Find("a", "k"), std::nullopt);  // no older duplicate resurfaces
    EXPECT_FALSE(doc.RemoveKey("a", "k"));
    EXPECT_FALSE(doc.RemoveKey("missing", "k"));
    EXPECT_TRUE(doc.RemoveSection("b"));
    EXPECT_FALSE(doc.HasSection("B"));
    EXPECT_FALSE(doc.RemoveSection("b"));
    EXPECT_EQ(doc.Serialize(),
              "[a]\n"
              "other=3\n"
              "[c]\n"
              "y=2\n");
}

}  // namespace
}  // namespace koruvan::platform
