#include "engine/peers/THttpHeader.h"

#include <gtest/gtest.h>

#include <string>

namespace koruvan::engine {
namespace {

const HttpRequestTexts kTexts{"KoruvanAgent/1.0", "http://ref.example/", ""};

TEST(BuildRequest, FirstRequestHasNoRangeAndExactBytes) {
    EXPECT_EQ(BuildRequest("cdn.example", "/vemo047/a.cab", nullptr, nullptr, 0, 0, kTexts),
              "GET /vemo047/a.cab HTTP/1.1\r\n"
              "Host:cdn.example\r\n"
              "Accept:*/*\r\n"
              "Referer: http://ref.example/\r\n"
              "User-Agent:KoruvanAgent/1.0\r\n"
              "Connection:Keep-Alive\r\n"
              "Pragma: no-cache\r\n"
              "Cache-Control: no-cache\r\n"
              "\r\n");
}

TEST(BuildRequest, RangeRefererAndCookieVariants) {
    HttpRequestTexts texts = kTexts;
    texts.sourceReferer = "http://source.example/page";
    const std::string fromBlock3 =
        BuildRequest("h", "//signed/p", nullptr, nullptr, 49152, 0, texts);
    EXPECT_NE(fromBlock3.find("GET //signed/p HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(fromBlock3.find("\r\nReferer: http://source.example/page\r\n"), std::string::npos);
    EXPECT_NE(fromBlock3.find("\r\nRange: bytes=49152-\r\nPragma: no-cache\r\n"),
              std::string::npos);

    const std::string referer = "http://override/";
    const std::string cookie = "abc";
    const std::string closed = BuildRequest("h", "/p", &referer, &cookie, 100, 200, texts);
    EXPECT_NE(closed.find("\r\nReferer:http://override/\r\n"), std::string::npos);
    EXPECT_NE(
        closed.find("\r\nConnection:Keep-Alive\r\nSet Cookie:0abc\r\nRange: bytes=100-200\r\n"),
        std::string::npos);
    // An end not past the start is left out.
    EXPECT_NE(BuildRequest("h", "/p", nullptr, nullptr, 100, 50, texts).find("bytes=100-\r\n"),
              std::string::npos);
}

TEST(THttpHeader, ParsesStatusAndLinesOnlyOnceComplete) {
    const std::string response =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-99/12345\r\n"
        "content-length :  100\r\nX-Empty:\r\n\r\nBODY";
    THttpHeader header;
    for (std::size_t cut = 0; cut < response.size() - 4; ++cut) {
        ASSERT_EQ(header.Parse(response.data(), static_cast<std::int32_t>(cut)), 0) << cut;
    }
    ASSERT_EQ(header.Parse(response.data(), static_cast<std::int32_t>(response.size())),
              static_cast<std::int32_t>(response.size() - 4));
    EXPECT_EQ(header.Status(), 206);
    EXPECT_EQ(header.Reason(), "Partial Content");
    EXPECT_EQ(header.Version(), "1.1");
    EXPECT_EQ(header.Get("CONTENT-LENGTH"), "100");
    EXPECT_EQ(header.Get("X-Empty"), "");
    EXPECT_TRUE(header.Has("X-Empty"));
    EXPECT_FALSE(header.Has("Location"));

    bool unknown = false;
    EXPECT_EQ(ContentLength(header, unknown), 12345);  // the range total wins
    EXPECT_FALSE(unknown);
}

TEST(THttpHeader, BareLineFeedsAndHeadersWithoutStatusLine) {
    THttpHeader header;
    const std::string lf = "HTTP/1.0 302 Found\nLocation: /x/y\n\nrest";
    EXPECT_EQ(header.Parse(lf.data(), static_cast<std::int32_t>(lf.size())), 35);
    EXPECT_EQ(header.Status(), 302);
    EXPECT_EQ(header.Get("location"), "/x/y");

    const std::string noStatus = "Server: x\r\n\r\n";
    EXPECT_EQ(header.Parse(noStatus.data(), static_cast<std::int32_t>(noStatus.size())), 13);
    EXPECT_EQ(header.Status(), 0);
    EXPECT_EQ(header.Get("server"), "x");

    const std::string garbage = "HTTP/1.1 abc\r\n\r\n";
    EXPECT_GT(header.Parse(garbage.data(), static_cast<std::int32_t>(garbage.size())), 0);
    EXPECT_EQ(header.Status(), 0);
}

TEST(ContentLength, RangeWithoutTotalAndMissingHeaders) {
    THttpHeader header;
    const auto parse = [&](const std::string& text) {
        header.Parse(text.data(), static_cast<std::int32_t>(text.size()));
    };
    bool unknown = false;
    parse("HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9\r\nContent-Length: 10\r\n\r\n");
    EXPECT_EQ(ContentLength(header, unknown), -1);
    EXPECT_FALSE(unknown);
    parse("HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9/*\r\n\r\n");
    EXPECT_EQ(ContentLength(header, unknown), -1);
    parse("HTTP/1.1 200 OK\r\nContent-Length: 4222222222\r\n\r\n");
    EXPECT_EQ(ContentLength(header, unknown), 4222222222);
    parse("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n");
    EXPECT_EQ(ContentLength(header, unknown), -1);
    EXPECT_TRUE(unknown);
}

TEST(HttpDispositionFileName, QuotedAndPlainNames) {
    THttpHeader header;
    const auto name = [&](const std::string& value) {
        const std::string text = "HTTP/1.1 200 OK\r\nContent-Disposition: " + value + "\r\n\r\n";
        header.Parse(text.data(), static_cast<std::int32_t>(text.size()));
        return HttpDispositionFileName(header);
    };
    EXPECT_EQ(name("attachment; filename=\"a b.cab\""), "a b.cab");
    EXPECT_EQ(name("attachment; filename=plain.cab; size=3"), "plain.cab");
    EXPECT_EQ(name("inline"), "");
    EXPECT_EQ(name("attachment; filename=\"\""), "");
}

TEST(AbsoluteLocation, RelativeTargetsBecomeHttpsOnTheSameHost) {
    EXPECT_EQ(AbsoluteLocation("/x/y", "h", 8080), "https://h:8080/x/y");
    EXPECT_EQ(AbsoluteLocation("/x/y", "h", 80), "https://h/x/y");
    EXPECT_EQ(AbsoluteLocation("x/y", "h", 80), "https://h/x/y");
    EXPECT_EQ(AbsoluteLocation("http://other/z", "h", 80), "http://other/z");
    EXPECT_EQ(AbsoluteLocation("HTTPS://other/z", "h", 80), "HTTPS://other/z");
    EXPECT_EQ(AbsoluteLocation("ftp://f/z", "h", 21), "ftp://f/z");
    EXPECT_EQ(AbsoluteLocation("", "h", 80), "");
}

}  // namespace
}  // namespace koruvan::engine
