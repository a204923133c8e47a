#include "app/Base64.h"

#include <array>
#include <cstdint>

namespace koruvan::app {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr int kInvalid = -1;
constexpr int kBlank = -2;
constexpr int kPad = -3;

constexpr std::array<int, 256> MakeTable() {
    std::array<int, 256> table{};
    for (int& v : table) {
        v = kInvalid;
    }
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int>(i);
    }
    for (const char c : {' ', '\t', '\r', '\n'}) {
        table[static_cast<unsigned char>(c)] = kBlank;
    }
    table['='] = kPad;
    return table;
}

constexpr std::array<int, 256> kTable = MakeTable();

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v =
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
            static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (rest == 2) {
            v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> Base64Decode(std::string_view text, std::size_t maxBytes) {
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;  // sextets in the current group of four
    int padding = 0;
    for (const char c : text) {
        const int v = kTable[static_cast<unsigned char>(c)];
        if (v == kBlank) {
            continue;
        }
        if (v == kInvalid) {
            return std::nullopt;
        }
        if (v == kPad) {
            // Padding completes a group of two or three sextets, nothing else.
            if (count + padding < 2) {
                return std::nullopt;
            }
            ++padding;
            if (count + padding > 4) {
                return std::nullopt;
            }
            continue;
        }
        if (padding > 0) {
            return std::nullopt;  // data after the padding
        }
        bits = bits << 6 | static_cast<std::uint32_t>(v);
        if (++count == 4) {
            if (out.size() + 3 > maxBytes) {
                return std::nullopt;
            }
            out += static_cast<char>(bits >> 16 & 0xFF);
            out += static_cast<char>(bits >> 8 & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    if (count == 1) {
        return std::nullopt;
    }
    if (count > 1) {
        const std::size_t extra = static_cast<std::size_t>(count - 1);
        if (out.size() + extra > maxBytes) {
            return std::nullopt;
        }
        bits <<= 6 * (4 - count);
        out += static_cast<char>(bits >> 16 & 0xFF);
        if (count == 3) {
            out += static_cast<char>(bits >> 8 & 0xFF);
        }
    }
    return out;
}

}  // namespace koruvan::app
