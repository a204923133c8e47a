#include "engine/peers/BencodeCodec.h"
#include "engine/peers/BencodeText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>

namespace koruvan::engine {
namespace {

using test::Dict;
using test::List;
using test::Str;
using test::StrInt;

// Parse results of one element type, from an exact-size heap copy so that AddressSanitizer
// sees any read past the given length.
template <typename Element>
std::int32_t ParseResult(std::string_view text) {
    const auto copy = std::make_unique<char[]>(text.size());
    std::memcpy(copy.get(), text.data(), text.size());
    Element e;
    return e.Parse(copy.get(), static_cast<std::int32_t>(text.size()));
}

std::unique_ptr<QElement> ParseExact(std::string_view text) {
    const auto copy = std::make_unique<char[]>(text.size());
    std::memcpy(copy.get(), text.data(), text.size());
    // The tree may keep source pointers into the copy, which dies here; callers only look
    // at texts and counts.
    return ParseBencode(copy.get(), static_cast<std::int32_t>(text.size()));
}

std::string Reencoded(std::string_view text) {
    const std::unique_ptr<QElement> root = ParseBencode(text);
    std::string out;
    EXPECT_TRUE(root != nullptr && Encode(root.get(), out)) << text;
    return out;
}

TEST(BencodeDialect, IntegersAreGluedToTheStringBeforeThem) {
    const std::string text = "d6:lengthi100e4:name3:abce";
    const std::unique_ptr<QElement> root = ParseBencode(text);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Count(), 3);
    EXPECT_EQ(root->EncodedLength(), static_cast<std::int32_t>(text.size()));
    const QElement* length = root->Find("length");
    ASSERT_NE(length, nullptr);
    EXPECT_EQ(length->GetText(), "length");  // the key itself carries the value
    EXPECT_EQ(length->GetInteger(), 100);
    ASSERT_NE(root->Find("name"), nullptr);
    EXPECT_EQ(root->Find("name")->GetText(), "abc");

    const std::unique_ptr<QElement> list = ParseBencode("l3:abci5ee");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->Count(), 1);
    EXPECT_EQ(list->At(0)->GetText(), "abc");
    EXPECT_EQ(list->At(0)->GetInteger(), 5);
    EXPECT_EQ(ParseResult<QIntegerElement>("3:abcI-7e"), 9);  // upper-case 'I' opens too
}

TEST(BencodeDialect, MarkersAndTerminators) {
    EXPECT_EQ(ParseBencode("li5ee"), nullptr);  // no free-standing integer
    EXPECT_EQ(ParseBencode("i5e"), nullptr);
    EXPECT_EQ(ParseResult<QListElement>("li5ee"), kParseMalformed);
    EXPECT_EQ(ParseResult<QDictionaryElement>("d1:ai1Ee"), kParseMalformed);  // lower 'e' only
    EXPECT_EQ(ParseResult<QIntegerElement>("4:abc"), kParseOverrun);
    EXPECT_EQ(ParseResult<QIntegerElement>("3;abc"), kParseMalformed);  // no ':'
    EXPECT_EQ(ParseResult<QIntegerElement>("x:abc"), kParseNothing);
    EXPECT_EQ(ParseResult<QDictionaryElement>("d1:a1:b"), kParseMalformed);  // not closed
    EXPECT_EQ(ParseResult<QDictionaryElement>(std::string_view("d1:a1:b\0e", 9)), kParseMalformed);

    const std::unique_ptr<QElement> upper = ParseBencode("D1:a1:bE");
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(upper->ValidType(), kElementDictionary);
    EXPECT_EQ(upper->Find("a")->GetText(), "b");
    for (const char* empty : {"de", "le", "DE", "lE"}) {
        const std::unique_ptr<QElement> e = ParseBencode(empty);
        ASSERT_NE(e, nullptr) << empty;
        EXPECT_EQ(e->EncodedLength(), 2);
        EXPECT_EQ(e->Count(), 0);
    }
    // Bytes after the element are not part of it.
    EXPECT_EQ(ParseBencode("1:ajunk")->EncodedLength(), 3);
}

TEST(BencodeDialect, GluedIntegersReadLikeTheCLibrary) {
    const auto valueOf = [](std::string_view text) {
        QIntegerElement e;
        EXPECT_TRUE(e.ParseElement(text.data(), static_cast<std::int32_t>(text.size()))) << text;
        return e.GetInteger();
    };
    EXPECT_EQ(valueOf("1:ai-42e"), -42);
    EXPECT_EQ(valueOf("1:ai+7e"), 7);
    EXPECT_EQ(valueOf("1:ai 9e"), 9);
    EXPECT_EQ(valueOf("1:ai12-3e"), 12);
    EXPECT_EQ(valueOf("1:ai99999999999999999999e"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(valueOf("1:ai-99999999999999999999e"), std::numeric_limits<std::int64_t>::min());
    QIntegerElement empty;
    ASSERT_TRUE(empty.ParseElement("1:aie", 5));
    EXPECT_TRUE(empty.HasInteger());  // "ie" sets the flag with value 0
    EXPECT_EQ(ParseResult<QIntegerElement>("1:ai5"), kParseMalformed);  // scan hits the end
    EXPECT_EQ(ParseResult<QIntegerElement>("1:ai5xe"), kParseMalformed);
}

TEST(BencodeFind, KeysAndValuesAreOneFlatSequence) {
    // "a" has no value of its own: the next child carries an integer.
    const std::unique_ptr<QElement> d = ParseBencode("d1:a1:bi5e1:c1:de");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Find("a"), nullptr);
    EXPECT_EQ(d->Find("b"), nullptr);  // stepped over as the value of "a"
    ASSERT_NE(d->Find("c"), nullptr);
    EXPECT_EQ(d->Find("c")->GetText(), "d");
    EXPECT_EQ(d->Find("cx", 1)->GetText(), "d");  // an explicit length

    // A value whose text equals a key is skipped by Find but found by FindString.
    const std::unique_ptr<QElement> e = ParseBencode("d1:a1:k1:k1:v1:ze");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Find("k")->GetText(), "v");
    EXPECT_EQ(e->FindString("k"), e->At(1));
    EXPECT_EQ(e->NextOf(e->FindString("k")), e->At(2));
    EXPECT_EQ(e->Find("z"), nullptr);  // last key, no value
    EXPECT_EQ(e->PreviousOf(e->At(0)), nullptr);
    EXPECT_EQ(e->PreviousOf(e->At(3)), e->At(2));
    EXPECT_EQ(e->NextOf(e->At(4)), nullptr);

    // A parsed "i0e" sets the flag, so the key is its own answer; a built key with value 0
    // and the flag clear is an ordinary key.
    const std::unique_ptr<QElement> zero = ParseBencode("d1:ki0e1:ve");
    EXPECT_EQ(zero->Find("k"), zero->At(0));
    const std::unique_ptr<QElement> built = NewDictionary();
    built->AppendString("k", 1, 0, false);
    built->AppendString("v", 1);
    EXPECT_EQ(built->Find("k"), built->At(1));
}

TEST(BencodeEncode, WritesTheCanonicalForm) {
    const std::unique_ptr<QElement> d = NewDictionary();
    ASSERT_NE(d->AppendString("Index", 5, 0, false), nullptr);
    ASSERT_NE(d->AppendString("Part", 4, 7, false), nullptr);
    std::string out;
    ASSERT_TRUE(Encode(d.get(), out));
    EXPECT_EQ(out, "d5:Index4:Parti7ee");
    EXPECT_EQ(EncodedSize(d.get()), static_cast<std::int32_t>(out.size()));

    EXPECT_EQ(Reencoded("d3:keyi007ee"), "d3:keyi7ee");
    EXPECT_EQ(Reencoded("d1:ai-0e1:bi+3e1:ci0eE"), "d1:ai0e1:bi3e1:ci0ee");
    EXPECT_EQ(Reencoded("L1:aD1:bLEEE"), "l1:ad1:bleee");
    const std::string canonical =
        Dict({Str("info"),
              Dict({Str("files"),
                    List({Dict({StrInt("length", -9), Str("path"), List({Str("x"), Str("")})})}),
                    StrInt("n", std::numeric_limits<std::int64_t>::min())}),
              Str("z"), List({})});
    EXPECT_EQ(Reencoded(canonical), canonical);
    EXPECT_EQ(EncodedSize(ParseBencode(canonical).get()),
              static_cast<std::int32_t>(canonical.size()));
}

TEST(BencodeEncode, InvalidElementsFailAndAppendedBytesStay) {
    QDictionaryElement unparsed;
    std::string out = "prefix";
    EXPECT_FALSE(Encode(&unparsed, out));
    EXPECT_EQ(out, "prefix");
    EXPECT_EQ(EncodedSize(&unparsed), 0);
    EXPECT_FALSE(Encode(nullptr, out));
}

TEST(BencodeBuild, AdoptionDetachingAndRefusals) {
    const std::unique_ptr<QElement> list = NewList();
    const std::unique_ptr<QElement> other = NewList();
    QElement* a = list->AppendString("a", -1);
    QElement* c = list->AppendString("c", 1, -3, false);
    ASSERT_NE(list->InsertStringAt(1, "b", 1), nullptr);
    EXPECT_EQ(list->InsertStringAt(9, "x", 1), nullptr);  // beyond the end
    EXPECT_EQ(list->AppendString(nullptr, 0), nullptr);
    EXPECT_EQ(list->AppendString("", 0, 5, false), nullptr);  // an empty text cannot carry one
    EXPECT_EQ(list->AppendString("", 0, 0, true), nullptr);
    ASSERT_NE(list->AppendString("", 0), nullptr);
    EXPECT_EQ(list->Count(), 4);
    EXPECT_EQ(list->EncodedLength(), 2 + 3 + 3 + 7 + 2);

    // Moving a child to another container takes it out of the first one.
    ASSERT_EQ(other->Append(c), c);
    EXPECT_EQ(list->Count(), 3);
    EXPECT_EQ(c->Parent(), other.get());
    // No cycles: a container cannot adopt itself or an ancestor.
    QElement* inner = other->Append(NewList().release());
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->Append(other.get()), nullptr);
    EXPECT_EQ(other->Append(other.get()), nullptr);
    QListElement unbuilt;  // never parsed: nothing to encode
    EXPECT_EQ(other->Append(&unbuilt), nullptr);

    std::string out;
    ASSERT_TRUE(Encode(list.get(), out));
    EXPECT_EQ(out, "l1:a1:b0:e");
    EXPECT_TRUE(list->Detach(a));
    EXPECT_EQ(a->Parent(), nullptr);
    delete a;  // detached elements belong to the caller
    EXPECT_TRUE(list->RemoveAt(0));
    EXPECT_FALSE(list->RemoveAt(5));
    EXPECT_EQ(list->Count(), 1);
    EXPECT_TRUE(list->Clear());
    EXPECT_EQ(list->Count(), 0);
    EXPECT_EQ(list->EncodedLength(), 2);
    // A child deleted behind its parent's back leaves it cleanly.
    delete inner;
    EXPECT_EQ(other->Count(), 1);
}

TEST(BencodeHostileInput, LengthsBeyondTheInputFailBeforeAllocating) {
    EXPECT_EQ(ParseResult<QIntegerElement>("2147483648:abc"), kParseOverrun);
    EXPECT_EQ(ParseResult<QIntegerElement>("2147483647:abc"), kParseOverrun);
    EXPECT_EQ(ParseResult<QIntegerElement>("99999999999999999999999:x"), kParseOverrun);
    EXPECT_EQ(ParseExact("d4:name2147483648:xe"), nullptr);
    EXPECT_EQ(ParseResult<QIntegerElement>("12345"), kParseMalformed);  // scan bounded
    EXPECT_EQ(ParseResult<QIntegerElement>("3"), kParseMalformed);
}

TEST(BencodeHostileInput, NestingIsCappedWithoutExhaustingTheStack) {
    const auto nested = [](int depth) { return std::string(depth, 'l') + std::string(depth, 'e'); };
    EXPECT_NE(ParseExact(nested(kMaxNestingDepth)), nullptr);
    EXPECT_EQ(ParseExact(nested(kMaxNestingDepth + 1)), nullptr);
    EXPECT_EQ(ParseExact(nested(200000)), nullptr);
    std::string deepDict;
    for (int i = 0; i < 100000; ++i) {
        deepDict += "d1:k";
    }
    EXPECT_EQ(ParseExact(deepDict), nullptr);
}

TEST(BencodeHostileInput, EveryTruncationOfAMetainfoIsRefused) {
    const std::string metainfo = Dict(
        {Str("announce"), Str("http://t/a"), StrInt("creation date", 1700000000), Str("info"),
         Dict({Str("files"),
               List({Dict({StrInt("length", 5), Str("path"), List({Str("a"), Str("b.bin")})})}),
               Str("name"), Str("dir"), StrInt("piece length", 16384), Str("pieces"),
               Str(std::string(20, 'h'))})});
    ASSERT_NE(ParseExact(metainfo), nullptr);
    for (std::size_t cut = 1; cut < metainfo.size(); ++cut) {
        EXPECT_EQ(ParseExact(metainfo.substr(0, cut)), nullptr) << "cut at " << cut;
    }
}

TEST(BencodeText, ConvertedTextFollowsTheCodePage) {
    const std::unique_ptr<QElement> list =
        ParseBencode(List({Str("\xD6\xD0\xCE\xC4"), Str("plain"), Str("a\tb"), List({})}));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->At(0)->ConvertedText(), "\xD6\xD0\xCE\xC4");  // no code page: raw
    list->SetCodePage(936);
    EXPECT_EQ(list->At(3)->CodePage(), 936);  // reaches every level
    EXPECT_EQ(list->At(0)->ConvertedText(), "中文");
    std::string joined;
    list->Text(joined, "|");
    EXPECT_EQ(joined, "中文|plain|a\tb|");  // a container adds an empty text

    // Printable ASCII is copied even where the code page is unknown; anything else must
    // go through the converter, and a failed conversion is empty.
    list->SetCodePage(12345);
    EXPECT_EQ(list->At(1)->ConvertedText(), "plain");
    EXPECT_EQ(list->At(2)->ConvertedText(), "");
    std::string raw;
    list->At(0)->Text(raw, "");
    EXPECT_EQ(raw, "\xD6\xD0\xCE\xC4");
}

}  // namespace
}  // namespace koruvan::engine
