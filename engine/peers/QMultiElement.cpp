#include "engine/peers/QMultiElement.h"

#include <cstring>
#include <limits>

namespace koruvan::engine {
namespace {

bool IsOpenMarker(char c) noexcept {
    return c == 'd' || c == 'D' || c == 'l' || c == 'L';
}
bool IsCloseMarker(char c) noexcept {
    return c == 'e' || c == 'E';
}

std::string_view KeyView(const char* key, std::int32_t len) noexcept {
    return len <= 0 ? std::string_view(key) : std::string_view(key, static_cast<std::size_t>(len));
}

std::int32_t ClampedSum(std::int32_t a, std::int32_t b) noexcept {
    const std::int64_t sum = static_cast<std::int64_t>(a) + b;
    return sum > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                          : static_cast<std::int32_t>(sum);
}

}  // namespace

std::unique_ptr<QElement> NewElementFor(char first) {
    if (first == 'd' || first == 'D') {
        return std::make_unique<QDictionaryElement>();
    }
    if (first == 'l' || first == 'L') {
        return std::make_unique<QListElement>();
    }
    if (first >= '0' && first <= '9') {
        return std::make_unique<QIntegerElement>();
    }
    return nullptr;
}

QMultiElement::~QMultiElement() {
    DeleteChildren();
}

void QMultiElement::DeleteChildren() noexcept {
    // Children must not unlink themselves from a vector that is being destroyed.
    for (auto& child : children_) {
        child->parent_ = nullptr;
    }
    children_.clear();
    cursor_ = 0;
}

void QMultiElement::Reset() noexcept {
    ResetFields();
    DeleteChildren();
}

// --- parsing ---------------------------------------------------------------------------

std::int32_t QMultiElement::Parse(const char* text, std::int32_t len) {
    return ParseNested(text, len, 1);
}

std::int32_t QMultiElement::ParseNested(const char* text, std::int32_t len, int depth) {
    Reset();
    if (text == nullptr || len < 2 || text[0] == 0) {
        return kParseNothing;
    }
    // Only bracketed containers have room for children; outside input may not nest deeper
    // than the limit (the recursion below is bounded by it).
    if (!IsOpenMarker(text[0]) || depth > kMaxNestingDepth) {
        return kParseMalformed;
    }
    std::int32_t used = 0;
    if (!IsCloseMarker(text[1])) {
        used = ParseChildren(text + 1, len - 2, depth);
        // The closing marker lies within `len`: the children had len - 2 bytes of room.
        if (used < 1 || !IsCloseMarker(text[1 + used])) {
            return kParseMalformed;
        }
    }
    text_.assign(2, '\0');  // a container's placeholder text
    validType_ = Type();
    return used + 2;
}

std::int32_t QMultiElement::ParseChildren(const char* text, std::int32_t space, int depth) {
    std::int32_t pos = 0;
    while (pos < space && text[pos] != 0 && !IsCloseMarker(text[pos])) {
        std::unique_ptr<QElement> child = NewElementFor(text[pos]);
        if (!child) {
            return kParseNothing;  // e.g. a free-standing integer
        }
        const char* at = text + pos;
        const std::int32_t room = space - pos;
        auto* nested = dynamic_cast<QMultiElement*>(child.get());
        const std::int32_t result =
            nested != nullptr ? nested->ParseNested(at, room, depth + 1) : child->Parse(at, room);
        if (!child->FinishParse(at, result)) {
            return kParseMalformed;
        }
        child->parent_ = this;
        children_.push_back(std::move(child));
        pos += result;
    }
    return pos;
}

// --- lookups ---------------------------------------------------------------------------

std::ptrdiff_t QMultiElement::IndexOf(const QElement* child) const noexcept {
    if (cursor_ < children_.size() && children_[cursor_].get() == child) {
        return static_cast<std::ptrdiff_t>(cursor_);
    }
    for (std::size_t i = 0; i < children_.size(); ++i) {
        if (children_[i].get() == child) {
            return static_cast<std::ptrdiff_t>(i);
        }
    }
    return -1;
}

QElement* QMultiElement::NextOf(const QElement* child) const noexcept {
    if (!IsValid() || child == nullptr) {
        return nullptr;
    }
    const std::ptrdiff_t i = IndexOf(child);
    if (i < 0 || static_cast<std::size_t>(i) + 1 >= children_.size()) {
        return nullptr;
    }
    cursor_ = static_cast<std::size_t>(i) + 1;
    return children_[cursor_].get();
}

QElement* QMultiElement::PreviousOf(const QElement* child) const noexcept {
    if (!IsValid() || child == nullptr) {
        return nullptr;
    }
    const std::ptrdiff_t i = IndexOf(child);
    if (i <= 0) {
        return nullptr;
    }
    cursor_ = static_cast<std::size_t>(i) - 1;
    return children_[cursor_].get();
}

// Keys and values form one flat sequence: a key with a glued integer is its own answer;
// any other key's value is the child after it, which the walk steps over when the key
// does not match.
QElement* QMultiElement::Find(const char* key, std::int32_t len) const noexcept {
    if (!IsValid() || key == nullptr) {
        return nullptr;
    }
    const std::string_view wanted = KeyView(key, len);
    const std::size_t n = children_.size();
    for (std::size_t i = 0; i < n; ++i) {
        const QElement* child = children_[i].get();
        if (child == nullptr || !child->IsValid()) {
            continue;
        }
        if (child->GetText() == wanted) {
            if (child->HasInteger()) {
                return children_[i].get();
            }
            QElement* value = i + 1 < n ? children_[i + 1].get() : nullptr;
            return value != nullptr && !value->HasInteger() ? value : nullptr;
        }
        if (!child->HasInteger()) {
            ++i;
        }
    }
    return nullptr;
}

QElement* QMultiElement::FindString(const char* data, std::int32_t len) const noexcept {
    if (!IsValid() || data == nullptr) {
        return nullptr;
    }
    const std::string_view wanted = KeyView(data, len);
    for (const auto& child : children_) {
        if (child->IsValid() && child->GetText() == wanted) {
            return child.get();
        }
    }
    return nullptr;
}

QElement* QMultiElement::At(std::int32_t index) const noexcept {
    if (index < 0 || static_cast<std::size_t>(index) >= children_.size()) {
        return nullptr;
    }
    return children_[static_cast<std::size_t>(index)].get();
}

std::int32_t QMultiElement::Count() const noexcept {
    return IsValid() ? static_cast<std::int32_t>(children_.size()) : 0;
}

void QMultiElement::Text(std::string& out, std::string_view separator) const {
    out.clear();
    for (std::size_t i = 0; i < children_.size(); ++i) {
        if (i > 0) {
            out.append(separator);
        }
        out.append(children_[i]->ConvertedText());
    }
}

void QMultiElement::SetCodePage(std::int32_t codePage) noexcept {
    codePage_ = codePage;
    for (auto& child : children_) {
        child->SetCodePage(codePage);
    }
}

// --- building --------------------------------------------------------------------------

QElement* QMultiElement::Append(QElement* e) {
    return InsertAt(static_cast<std::int32_t>(children_.size()), e);
}

QElement* QMultiElement::InsertAt(std::int32_t index, QElement* e) {
    if (e == nullptr || index < 0 || static_cast<std::size_t>(index) > children_.size() ||
        e->encodedLength_ <= 0) {
        return nullptr;
    }
    // Adopting this container itself or one of its ancestors would make a cycle.
    for (const QElement* up = this; up != nullptr; up = up->parent_) {
        if (up == e) {
            return nullptr;
        }
    }
    children_.reserve(children_.size() + 1);  // the insertion below cannot fail now
    if (e->parent_ != nullptr) {
        QMultiElement* previous = e->parent_;
        previous->Detach(e);
        if (previous == this && static_cast<std::size_t>(index) > children_.size()) {
            index = static_cast<std::int32_t>(children_.size());
        }
    }
    children_.insert(children_.begin() + index, std::unique_ptr<QElement>(e));
    e->parent_ = this;
    encodedLength_ = ClampedSum(encodedLength_, e->encodedLength_);
    cursor_ = 0;
    return e;
}

QElement* QMultiElement::AppendString(const char* s, std::int32_t len, std::int64_t value,
                                      bool hasInteger) {
    return InsertStringAt(static_cast<std::int32_t>(children_.size()), s, len, value, hasInteger);
}

QElement* QMultiElement::InsertStringAt(std::int32_t index, const char* s, std::int32_t len,
                                        std::int64_t value, bool hasInteger) {
    auto element = std::make_unique<QIntegerElement>();
    if (!element->Build(s, len, value, hasInteger)) {
        return nullptr;
    }
    QElement* adopted = InsertAt(index, element.get());
    if (adopted != nullptr) {
        (void)element.release();  // now owned by the children
    }
    return adopted;
}

bool QMultiElement::Unlink(QElement* child) noexcept {
    const std::ptrdiff_t i = IndexOf(child);
    if (i < 0) {
        return false;
    }
    (void)children_[static_cast<std::size_t>(i)].release();
    children_.erase(children_.begin() + i);
    child->parent_ = nullptr;
    cursor_ = 0;
    return true;
}

bool QMultiElement::Detach(QElement* e) noexcept {
    if (e == nullptr || !Unlink(e)) {
        return false;
    }
    if (e->encodedLength_ < encodedLength_) {
        encodedLength_ -= e->encodedLength_;
    }
    return true;
}

bool QMultiElement::DetachAt(std::int32_t index) noexcept {
    return Detach(At(index));
}

bool QMultiElement::Remove(QElement* e) noexcept {
    if (!Detach(e)) {
        return false;
    }
    delete e;
    return true;
}

bool QMultiElement::RemoveAt(std::int32_t index) noexcept {
    return Remove(At(index));
}

bool QMultiElement::Clear() noexcept {
    for (const auto& child : children_) {
        if (child->encodedLength_ < encodedLength_) {
            encodedLength_ -= child->encodedLength_;
        }
    }
    DeleteChildren();
    return true;
}

}  // namespace koruvan::engine
