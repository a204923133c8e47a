#include "telemetry/BatchText.h"

#include <json/writer.h>

namespace koruvan::telemetry {

std::string CompactJson(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value) + "\n";
}

std::string InfoText(const Json::Value& identity, std::string_view body) {
    std::string text = "{" + CompactJson(identity);
    text.append(body);
    text += "}";
    return text;
}

std::string FormEncode(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
            out += c;
        } else if (b == ' ') {
            out += '_';
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

std::string FormBody(std::string_view text) {
    return "data=" + FormEncode(text);
}

bool ContainsAll(std::string_view text, const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        if (text.find(word) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace koruvan::telemetry
