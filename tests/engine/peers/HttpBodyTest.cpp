// Which responses a web source may store, judged from the status line and header alone.
#include "engine/peers/HttpBody.h"

#include <gtest/gtest.h>

#include <string>

namespace koruvan::engine {
namespace {

using Verdict = HttpBody::Verdict;

struct BodyCase {
    const char* name;
    const char* header;  // status line and header lines, CR LF each
    std::int64_t asked;
    std::uint64_t expected;
    Verdict verdict;
    std::int64_t start;
    std::int64_t end;
};

THttpHeader Parsed(const std::string& text) {
    THttpHeader header;
    const std::string whole = text + "\r\n";
    EXPECT_GT(header.Parse(whole.data(), static_cast<std::int32_t>(whole.size())), 0);
    return header;
}

TEST(CheckHttpBody, AResponseIsUsedOnlyWhenItAgreesWithTheRequestAndTheFile) {
    const BodyCase cases[] = {
        {"range as asked",
         "HTTP/1.1 206 Partial\r\nContent-Range: bytes 49152-99999/100000\r\n"
         "Content-Length: 50848\r\n",
         49152, 100000, Verdict::kUsable, 49152, 100000},
        {"range without length", "HTTP/1.1 206 P\r\nContent-Range: bytes 0-99/100000\r\n", 0,
         100000, Verdict::kUsable, 0, 100},
        {"range of unknown total", "HTTP/1.1 206 P\r\nContent-Range: bytes 10-99/*\r\n", 10, 100000,
         Verdict::kUsable, 10, 100},
        {"whole file from a server ignoring ranges",
         "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n", 49152, 100000, Verdict::kUsable, 0,
         100000},
        {"size learned from the first answer", "HTTP/1.1 200 OK\r\nContent-Length: 777\r\n", 0, 0,
         Verdict::kUsable, 0, 777},
        {"other first byte", "HTTP/1.1 206 P\r\nContent-Range: bytes 65536-99999/100000\r\n", 49152,
         100000, Verdict::kOtherRange, 0, 0},
        {"200 of another size", "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n", 16384, 100000,
         Verdict::kWrongSize, 0, 0},
        {"206 of another file size", "HTTP/1.1 206 P\r\nContent-Range: bytes 0-99/5000\r\n", 0,
         100000, Verdict::kWrongSize, 0, 0},
        {"length disagrees with range",
         "HTTP/1.1 206 P\r\nContent-Range: bytes 0-99999/100000\r\nContent-Length: 50000\r\n", 0,
         100000, Verdict::kUnusable, 0, 0},
        {"range past the end", "HTTP/1.1 206 P\r\nContent-Range: bytes 0-100000/100000\r\n", 0,
         100000, Verdict::kUnusable, 0, 0},
        {"206 without range", "HTTP/1.1 206 P\r\nContent-Length: 100\r\n", 0, 100000,
         Verdict::kUnusable, 0, 0},
        {"200 without length", "HTTP/1.1 200 OK\r\nConnection: close\r\n", 0, 100000,
         Verdict::kUnusable, 0, 0},
        {"length with trailing text", "HTTP/1.1 200 OK\r\nContent-Length: 100000x\r\n", 0, 100000,
         Verdict::kUnusable, 0, 0},
        {"negative length", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n", 0, 100000,
         Verdict::kUnusable, 0, 0},
        {"chunked body", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n", 0, 100000,
         Verdict::kUnusable, 0, 0},
        {"compressed body",
         "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\nContent-Encoding: gzip\r\n", 0, 100000,
         Verdict::kUnusable, 0, 0},
        {"no content", "HTTP/1.1 204 No Content\r\n", 0, 100000, Verdict::kUnusable, 0, 0},
    };
    for (const BodyCase& c : cases) {
        const HttpBody body = CheckHttpBody(Parsed(c.header), c.asked, c.expected);
        EXPECT_EQ(body.verdict, c.verdict) << c.name << ": " << body.reason;
        if (c.verdict == Verdict::kUsable) {
            EXPECT_EQ(body.start, c.start) << c.name;
            EXPECT_EQ(body.end, c.end) << c.name;
        } else {
            EXPECT_FALSE(body.reason.empty()) << c.name;
        }
    }
    EXPECT_EQ(CheckHttpBody(Parsed("HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n"), 0, 100000)
                  .reason,
              "reports 99999999999 bytes instead of 100000");
}

}  // namespace
}  // namespace koruvan::engine
