#include "engine/peers/BencodeCodec.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace koruvan::engine {
namespace {

void AppendDecimal(std::string& out, std::int64_t v) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, v);
    out.append(digits, result.ptr);
}

bool EncodeInto(const QElement* e, std::string& out) {
    if (e == nullptr || !e->IsValid()) {
        return false;
    }
    const std::int32_t type = e->Type();
    if (type == kElementString) {
        const std::string_view text = e->GetText();
        AppendDecimal(out, static_cast<std::int64_t>(text.size()));
        out.push_back(':');
        out.append(text);
        if (e->HasInteger()) {
            out.push_back('i');
            AppendDecimal(out, e->GetInteger());
            out.push_back('e');
        }
        return true;
    }
    if (type != kElementDictionary && type != kElementList && type != kElementContainer) {
        return true;  // an element kind this writer does not know: nothing to write
    }
    if (type != kElementContainer) {
        out.push_back(type == kElementDictionary ? 'd' : 'l');
    }
    const std::int32_t n = e->Count();
    for (std::int32_t i = 0; i < n; ++i) {
        if (!EncodeInto(e->At(i), out)) {
            return false;
        }
    }
    if (type != kElementContainer) {
        out.push_back('e');
    }
    return true;
}

std::int64_t SizeOf(const QElement* e) noexcept {
    if (e == nullptr || !e->IsValid()) {
        return 0;
    }
    const std::int32_t type = e->Type();
    if (type == kElementString) {
        return e->EncodedLength();
    }
    if (type != kElementDictionary && type != kElementList && type != kElementContainer) {
        return 0;
    }
    std::int64_t total = type == kElementContainer ? 0 : 2;
    const std::int32_t n = e->Count();
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int64_t child = SizeOf(e->At(i));
        if (child <= 0) {
            return 0;
        }
        total += child;
        if (total > std::numeric_limits<std::int32_t>::max()) {
            return 0;
        }
    }
    return total;
}

}  // namespace

std::unique_ptr<QElement> ParseBencode(const char* text, std::int32_t len) {
    if (text == nullptr || len <= 0) {
        return nullptr;
    }
    std::unique_ptr<QElement> root = NewElementFor(text[0]);
    if (!root || !root->ParseElement(text, len)) {
        return nullptr;
    }
    return root;
}

std::unique_ptr<QElement> ParseBencode(std::string_view text) {
    if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return nullptr;
    }
    return ParseBencode(text.data(), static_cast<std::int32_t>(text.size()));
}

std::unique_ptr<QElement> NewDictionary() {
    return ParseBencode("de", 2);
}

std::unique_ptr<QElement> NewList() {
    return ParseBencode("le", 2);
}

std::int32_t EncodedSize(const QElement* e) noexcept {
    return static_cast<std::int32_t>(SizeOf(e));
}

bool Encode(const QElement* e, std::string& out) {
    // Room for the whole encoding up front, growing geometrically across repeated calls.
    const std::size_t wanted =
        out.size() + static_cast<std::size_t>(std::max<std::int32_t>(EncodedSize(e), 0)) + 1024;
    if (wanted > out.capacity()) {
        out.reserve(std::max(wanted, out.capacity() * 2));
    }
    return EncodeInto(e, out);
}

}  // namespace koruvan::engine
