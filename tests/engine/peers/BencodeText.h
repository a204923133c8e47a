// Writing bencode by hand in tests, independent of the encoder under test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace koruvan::test {

// "4:name"
inline std::string Str(std::string_view s) {
    return std::to_string(s.size()) + ":" + std::string(s);
}

// "4:namei5e": a string carrying a glued integer (how integer values are written).
inline std::string StrInt(std::string_view s, std::int64_t v) {
    return Str(s) + "i" + std::to_string(v) + "e";
}

inline std::string Join(char open, std::initializer_list<std::string> parts) {
    std::string out(1, open);
    for (const std::string& p : parts) {
        out += p;
    }
    return out + "e";
}

inline std::string Dict(std::initializer_list<std::string> parts) {
    return Join('d', parts);
}
inline std::string List(std::initializer_list<std::string> parts) {
    return Join('l', parts);
}

}  // namespace koruvan::test
