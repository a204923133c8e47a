// The BitTorrent wire format byte for byte: handshake, messages, the reject form, both
// disguise headers and the recognition of a disguise header before a handshake.
#include <gtest/gtest.h>

#include <string>

#include "engine/peers/BtWire.h"

namespace koruvan::engine::bt {
namespace {

std::string S(const char* bytes, std::size_t n) {
    return std::string(bytes, n);
}

TEST(BtWireTest, HandshakeLayout) {
    Bytes20 hash{};
    Bytes20 id{};
    for (int i = 0; i < 20; ++i) {
        hash[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 1);
        id[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
    }
    const auto h = BuildHandshake(hash, id);
    const std::string text(reinterpret_cast<const char*>(h.data()), h.size());
    EXPECT_EQ(text.substr(0, 20), std::string("\x13"
                                              "BitTorrent protocol"));
    EXPECT_EQ(text.substr(20, 8), std::string(8, '\0'));
    EXPECT_EQ(h[28], 1);
    EXPECT_EQ(h[47], 20);
    EXPECT_EQ(h[48], 0xA0);
    EXPECT_EQ(h[67], 0xA0 + 19);
    EXPECT_TRUE(HandshakeMatches(h.data(), 48, hash.data()));
    hash[5] ^= 1;
    EXPECT_FALSE(HandshakeMatches(h.data(), 68, hash.data()));
    EXPECT_FALSE(HandshakeMatches(h.data(), 47, nullptr));
}

TEST(BtWireTest, MessagesAreBigEndianAndLengthPrefixed) {
    struct Case {
        std::string built;
        std::string expected;
    };
    const Case cases[] = {
        {Simple(kChoke), S("\0\0\0\1\0", 5)},
        {Simple(kUnchoke), S("\0\0\0\1\1", 5)},
        {Simple(kInterested), S("\0\0\0\1\2", 5)},
        {Have(0x01020304), S("\0\0\0\5\4\1\2\3\4", 9)},
        {Request(kRequest, 7, 0x4000, 0x4000), S("\0\0\0\x0d\6\0\0\0\7\0\0\x40\0\0\0\x40\0", 17)},
        {Request(kCancel, 1, 2, 3), S("\0\0\0\x0d\x08\0\0\0\1\0\0\0\2\0\0\0\3", 17)},
        {PieceHeader(2, 16384, 16384), S("\0\0\x40\x09\7\0\0\0\2\0\0\x40\0", 13)},
        {Reject(0x0102), S("\0\0\0\x0e\7\0\0\0\0\0\0\0\2"
                           "5\0\0\1\2",
                           18)},
        {BitfieldMessage(reinterpret_cast<const std::uint8_t*>("\xF0\x80"), 2),
         S("\0\0\0\3\5\xF0\x80", 7)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.built, c.expected);
    }
}

TEST(BtWireTest, DisguiseHeadersInBothDirections) {
    // 127.0.0.2 as one number is 2130706434; port 6882 mod 6881 is 1.
    const std::uint32_t ip = 0x0200007Fu;  // network order
    EXPECT_EQ(DisguiseRequest(ip, 6882, true),
              "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\n"
              "Host: 2130706434:1\r\n\r\n");
    EXPECT_EQ(DisguiseRequest(ip, 80, false), "GET / HTTP/1.0\r\nHost: 2130706434:80\r\n\r\n");
    EXPECT_EQ(DisguiseReply(true, true),
              "HTTP/1.0 200 OK\r\nConnection: Close\r\nContent-Encoding: none\r\n\r\n");
    EXPECT_EQ(DisguiseReply(false, false), "HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\n\r\n");
}

TEST(BtWireTest, DisguiseHeaderRecognition) {
    struct Case {
        std::string data;
        Disguise expected;
        std::size_t header;
    };
    const Case cases[] = {
        {"\x13"
         "BitTorrent protocol",
         Disguise::kNone, 0},
        {"GET / HTTP/1.0\r\nHost: 1:2\r\n\r\n\x13"
         "Bit",
         Disguise::kHeader, 29},
        {"POST /x\n\nrest", Disguise::kHeader, 9},
        {"HTTP/1.0 200 OK\r\n\r\n", Disguise::kHeader, 19},
        {"GET / HTTP/1.0\r\nHost:", Disguise::kIncomplete, 0},
        {"GE", Disguise::kIncomplete, 0},
        {"GOT / HTTP/1.0\r\n\r\n", Disguise::kIncomplete, 0},
        {"hello", Disguise::kNone, 0},
    };
    for (const Case& c : cases) {
        std::size_t header = 99;
        EXPECT_EQ(FindDisguise(reinterpret_cast<const std::uint8_t*>(c.data.data()), c.data.size(),
                               header),
                  c.expected)
            << c.data;
        EXPECT_EQ(header, c.header) << c.data;
    }
}

}  // namespace
}  // namespace koruvan::engine::bt
