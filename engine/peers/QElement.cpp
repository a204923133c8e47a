#include "engine/peers/QElement.h"

#include "engine/peers/QMultiElement.h"
#include "platform/CodePage.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace koruvan::engine {
namespace {

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();

bool IsDigit(unsigned char c) noexcept {
    return c >= '0' && c <= '9';
}

// The bytes a length or glued integer may span: 0x01 up to '9'. The scan ends at the
// first byte outside it, which must be the terminator (':' or 'e').
bool InNumberScan(unsigned char c) noexcept {
    return c >= 0x01 && c <= '9';
}

bool IsSpace(unsigned char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The glued integer's value, read the way the C library's atoll reads it: leading blanks,
// an optional sign, the leading digits; anything after them is ignored. Saturates at the
// 64-bit bounds instead of overflowing.
std::int64_t ParseGluedInteger(const unsigned char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n && IsSpace(p[i])) {
        ++i;
    }
    bool negative = false;
    if (i < n && (p[i] == '+' || p[i] == '-')) {
        negative = p[i] == '-';
        ++i;
    }
    // Accumulate as a negative number, whose range includes the 64-bit minimum.
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    std::int64_t acc = 0;
    for (; i < n && IsDigit(p[i]); ++i) {
        const int digit = p[i] - '0';
        if (acc < (kMin + digit) / 10) {
            acc = kMin;
            break;
        }
        acc = acc * 10 - digit;
    }
    if (negative) {
        return acc;
    }
    return acc == kMin ? std::numeric_limits<std::int64_t>::max() : -acc;
}

std::int64_t DecimalWidth(std::int64_t v) noexcept {
    std::int64_t width = v < 0 ? 2 : 1;  // the minus sign counts
    // Work on the negative side so that the 64-bit minimum needs no special case.
    for (std::int64_t n = v < 0 ? v : -v; n <= -10; n /= 10) {
        ++width;
    }
    return width;
}

bool IsPrintableAscii(std::string_view text) noexcept {
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 32 || u > 126) {
            return false;
        }
    }
    return true;
}

}  // namespace

// --- QElement: defaults for the container slots --------------------------------------

QElement::~QElement() {
    if (parent_ != nullptr) {
        parent_->Unlink(this);
    }
}

QElement* QElement::NextOf(const QElement*) const noexcept {
    return nullptr;
}
QElement* QElement::PreviousOf(const QElement*) const noexcept {
    return nullptr;
}
QElement* QElement::Find(const char*, std::int32_t) const noexcept {
    return nullptr;
}
QElement* QElement::FindString(const char*, std::int32_t) const noexcept {
    return nullptr;
}
QElement* QElement::At(std::int32_t) const noexcept {
    return nullptr;
}
QElement* QElement::Append(QElement*) {
    return nullptr;
}
QElement* QElement::AppendString(const char*, std::int32_t, std::int64_t, bool) {
    return nullptr;
}
QElement* QElement::InsertAt(std::int32_t, QElement*) {
    return nullptr;
}
QElement* QElement::InsertStringAt(std::int32_t, const char*, std::int32_t, std::int64_t, bool) {
    return nullptr;
}
bool QElement::RemoveAt(std::int32_t) noexcept {
    return false;
}
bool QElement::Remove(QElement*) noexcept {
    return false;
}
bool QElement::DetachAt(std::int32_t) noexcept {
    return false;
}
bool QElement::Detach(QElement*) noexcept {
    return false;
}
bool QElement::Clear() noexcept {
    return false;
}
std::int32_t QElement::Count() const noexcept {
    return 0;
}
void QElement::Text(std::string& out, std::string_view) const {
    out.clear();
}
void QElement::SetCodePage(std::int32_t) noexcept {}
void QElement::Reset() noexcept {
    ResetFields();
}

void QElement::ResetFields() noexcept {
    if (parent_ != nullptr) {
        parent_->Unlink(this);
        parent_ = nullptr;
    }
    std::string().swap(text_);
    validType_ = 0;
    encodedLength_ = 0;
    value_ = 0;
    hasInteger_ = false;
    codePage_ = 0;
    source_ = nullptr;
}

// --- QElement: parse bookkeeping and accessors ----------------------------------------

bool QElement::ParseElement(const char* text, std::int32_t len) {
    if (len < 0) {
        const std::size_t n = text != nullptr ? std::strlen(text) : 0;
        len = static_cast<std::int32_t>(std::min<std::size_t>(n, kInt32Max));
    }
    return FinishParse(text, Parse(text, len));
}

bool QElement::FinishParse(const char* text, std::int32_t result) noexcept {
    encodedLength_ = result;
    source_ = text;
    if (result < 1) {
        validType_ = 0;
    }
    return encodedLength_ > 0 && IsValid();
}

std::string_view QElement::GetText() const noexcept {
    return IsValid() ? std::string_view(text_) : std::string_view();
}

std::int32_t QElement::GetTextLength() const noexcept {
    return IsValid() ? static_cast<std::int32_t>(text_.size()) : -1;
}

std::int64_t QElement::GetInteger() const noexcept {
    return IsValid() ? value_ : 0;
}

bool QElement::HasInteger() const noexcept {
    return IsValid() && (hasInteger_ || value_ != 0);
}

std::int32_t QElement::EncodedLength() const noexcept {
    return IsValid() ? encodedLength_ : 0;
}

const char* QElement::GetSource() const noexcept {
    return IsValid() ? source_ : nullptr;
}

std::string QElement::ConvertedText() const {
    if (!IsValid() || Type() != kElementString || text_.empty()) {
        return {};
    }
    if (codePage_ == 0 || IsPrintableAscii(text_)) {
        return text_;
    }
    std::string out;
    if (!platform::ConvertToSystemCodePage(codePage_, text_, out)) {
        return {};
    }
    return out;
}

// --- QIntegerElement -------------------------------------------------------------------

std::int32_t QIntegerElement::Parse(const char* text, std::int32_t len) {
    Reset();
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    if (p == nullptr || len <= 0 || !IsDigit(p[0])) {
        return kParseNothing;
    }
    const auto size = static_cast<std::size_t>(len);

    // The string length: the leading digits. A length that does not fit 32 bits can never
    // fit the input either; stop accumulating there so a long digit run cannot overflow.
    std::int64_t n = 0;
    std::size_t pos = 0;
    for (; pos < size && IsDigit(p[pos]); ++pos) {
        if (n <= kInt32Max) {
            n = n * 10 + (p[pos] - '0');
        }
    }
    if (n > kInt32Max) {
        return kParseOverrun;
    }
    while (pos < size && InNumberScan(p[pos])) {
        ++pos;
    }
    if (pos >= size || p[pos] != ':') {
        return kParseMalformed;
    }
    ++pos;
    // Checked before anything is allocated: the string must fit in what is left.
    const std::int64_t remaining = static_cast<std::int64_t>(size - pos) - n;
    if (remaining < 0) {
        return kParseOverrun;
    }
    text_.assign(text + pos, static_cast<std::size_t>(n));
    pos += static_cast<std::size_t>(n);

    // The glued integer: 'i' or 'I', then bytes of the number scan, then a lower-case 'e'.
    if (remaining > 0 && (p[pos] == 'i' || p[pos] == 'I')) {
        std::size_t end = pos + 1;
        while (end < size && InNumberScan(p[end])) {
            ++end;
        }
        if (end >= size || p[end] != 'e') {
            return kParseMalformed;
        }
        value_ = ParseGluedInteger(p + pos + 1, end - pos - 1);
        hasInteger_ = true;
        pos = end + 1;
    }
    validType_ = kElementString;
    return static_cast<std::int32_t>(pos);
}

void QIntegerElement::Text(std::string& out, std::string_view) const {
    out.assign(GetText());
}

bool QIntegerElement::Build(const char* s, std::int32_t len, std::int64_t value, bool hasInteger) {
    Reset();
    if (s == nullptr) {
        return false;
    }
    const std::size_t n = len < 0 ? std::strlen(s) : static_cast<std::size_t>(len);
    if (n == 0 && (value != 0 || hasInteger)) {
        return false;
    }
    std::int64_t encoded = DecimalWidth(static_cast<std::int64_t>(n)) + 1;
    if (static_cast<std::int64_t>(n) > kInt32Max - encoded) {
        return false;  // its encoded length would not fit
    }
    encoded += static_cast<std::int64_t>(n);
    if (value != 0 || hasInteger) {
        encoded += DecimalWidth(value) + 2;
        if (encoded > kInt32Max) {
            return false;
        }
    }
    text_.assign(s, n);
    value_ = value;
    hasInteger_ = hasInteger;
    encodedLength_ = static_cast<std::int32_t>(encoded);
    validType_ = kElementString;
    return true;
}

}  // namespace koruvan::engine
