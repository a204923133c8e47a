// Bencode element tree: the base element and the string element.
//
// The engine's dialect has no free-standing integer: an integer is glued to the string
// before it ("4:name" followed by "i5e" is one element, text "name" with value 5). In a
// dictionary the keys and values are consecutive children of one flat sequence, and an
// integer value travels on its key. Containers are in QMultiElement.h; parsing and
// encoding entry points are in BencodeCodec.h.
//
// Every parsed element remembers where its encoded bytes start in the input and how many
// there are, so that callers can hash or copy the exact bytes (the info-hash). The input
// buffer must outlive every use of those source pointers.
//
// Not thread-safe: NextOf/PreviousOf move a cursor kept inside the container.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::engine {

class QMultiElement;

// Element type codes, as returned by Type() and kept in the valid type after a parse.
inline constexpr std::int32_t kElementContainer = 1;  // bare container: children, no brackets
inline constexpr std::int32_t kElementString = 2;
inline constexpr std::int32_t kElementDictionary = 3;
inline constexpr std::int32_t kElementList = 4;

// Parse results besides a positive count of bytes consumed.
inline constexpr std::int32_t kParseNothing = 0;     // empty input or unexpected first byte
inline constexpr std::int32_t kParseMalformed = -1;  // missing ':', 'e', bad child, too deep
inline constexpr std::int32_t kParseOverrun = -3;    // string longer than the input

// Deepest container nesting accepted from outside input; deeper input is malformed.
inline constexpr int kMaxNestingDepth = 256;

class QElement {
  public:
    virtual ~QElement();
    QElement(const QElement&) = delete;
    QElement& operator=(const QElement&) = delete;

    // Parses one element from at most `len` bytes of `text`; returns the bytes consumed or
    // a kParse* code. Never reads past `len`. Prefer ParseElement, which also records the
    // source and encoded length.
    [[nodiscard]] virtual std::int32_t Parse(const char* text, std::int32_t len) = 0;
    [[nodiscard]] virtual std::int32_t Type() const noexcept = 0;

    // Container operations; a string element answers null, false or 0.
    [[nodiscard]] virtual QElement* NextOf(const QElement* child) const noexcept;
    [[nodiscard]] virtual QElement* PreviousOf(const QElement* child) const noexcept;
    // Dictionary lookup over the flat key/value sequence; len <= 0 means strlen(key).
    [[nodiscard]] virtual QElement* Find(const char* key, std::int32_t len = 0) const noexcept;
    // First child, key or value alike, whose text equals data; len <= 0 means strlen(data).
    [[nodiscard]] virtual QElement* FindString(const char* data,
                                               std::int32_t len = 0) const noexcept;
    [[nodiscard]] virtual QElement* At(std::int32_t index) const noexcept;
    // Adoption: the container takes ownership of `e` (detaching it from a previous parent)
    // and returns it; on refusal it returns null and the caller keeps `e`.
    virtual QElement* Append(QElement* e);
    // Builds a string element and appends it; len < 0 means strlen(s).
    virtual QElement* AppendString(const char* s, std::int32_t len, std::int64_t value = 0,
                                   bool hasInteger = false);
    virtual QElement* InsertAt(std::int32_t index, QElement* e);
    virtual QElement* InsertStringAt(std::int32_t index, const char* s, std::int32_t len,
                                     std::int64_t value = 0, bool hasInteger = false);
    virtual bool RemoveAt(std::int32_t index) noexcept;
    virtual bool Remove(QElement* e) noexcept;  // detach and delete
    virtual bool DetachAt(std::int32_t index) noexcept;
    virtual bool Detach(QElement* e) noexcept;  // unlink; the caller owns `e` afterwards
    virtual bool Clear() noexcept;
    [[nodiscard]] virtual std::int32_t Count() const noexcept;
    // String element: its raw bytes. Container: the children's converted texts joined.
    virtual void Text(std::string& out, std::string_view separator) const;
    virtual void SetCodePage(std::int32_t codePage) noexcept;
    // Back to the empty, invalid state. A linked element leaves its parent, and whoever
    // reset it owns it afterwards.
    virtual void Reset() noexcept;

    // Runs Parse and records the result as encoded length and `text` as source; len < 0
    // means strlen(text). True when something was consumed and the element is valid.
    bool ParseElement(const char* text, std::int32_t len);

    [[nodiscard]] bool IsValid() const noexcept { return validType_ != 0; }
    [[nodiscard]] std::int32_t ValidType() const noexcept { return validType_; }
    [[nodiscard]] std::string_view GetText() const noexcept;    // "" when invalid
    [[nodiscard]] std::int32_t GetTextLength() const noexcept;  // -1 when invalid
    [[nodiscard]] std::int64_t GetInteger() const noexcept;     // 0 when invalid
    // Valid and carrying a glued integer (parsed or set, or a non-zero value).
    [[nodiscard]] bool HasInteger() const noexcept;
    [[nodiscard]] std::int32_t EncodedLength() const noexcept;  // 0 when invalid
    [[nodiscard]] const char* GetSource() const noexcept;       // null when invalid
    [[nodiscard]] std::int32_t CodePage() const noexcept { return codePage_; }
    [[nodiscard]] QMultiElement* Parent() const noexcept { return parent_; }
    // The text converted from the element's code page to the system one (UTF-8): empty
    // for an invalid element, a container or an empty text; the bytes unchanged without a
    // code page or when they are all printable ASCII (32..126); empty when conversion fails.
    [[nodiscard]] std::string ConvertedText() const;

  protected:
    QElement() noexcept = default;

    // Base part of every Reset: leave the parent, drop text and value.
    void ResetFields() noexcept;
    // ParseElement's bookkeeping for a Parse result already obtained.
    bool FinishParse(const char* text, std::int32_t result) noexcept;

    bool hasInteger_ = false;
    std::int32_t codePage_ = 0;
    const char* source_ = nullptr;
    std::string text_;
    std::int32_t validType_ = 0;
    std::int64_t value_ = 0;
    std::int32_t encodedLength_ = 0;
    QMultiElement* parent_ = nullptr;

    friend class QMultiElement;
};

// A string element, optionally carrying a glued integer.
class QIntegerElement final : public QElement {
  public:
    QIntegerElement() noexcept = default;

    [[nodiscard]] std::int32_t Parse(const char* text, std::int32_t len) override;
    [[nodiscard]] std::int32_t Type() const noexcept override { return kElementString; }
    void Text(std::string& out, std::string_view separator) const override;
    void SetCodePage(std::int32_t codePage) noexcept override { codePage_ = codePage; }
    void Reset() noexcept override { ResetFields(); }

    // Makes this a built string element (the AppendString rules); len < 0 means strlen(s).
    // Refused when s is null, or when an empty text would carry an integer.
    [[nodiscard]] bool Build(const char* s, std::int32_t len, std::int64_t value, bool hasInteger);
};

}  // namespace koruvan::engine
