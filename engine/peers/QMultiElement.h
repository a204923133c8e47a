// Bencode containers: dictionaries and lists. Both keep an ordered sequence of owned
// children; a dictionary's keys and values are consecutive children, and a key that
// carries a glued integer has no value child of its own.
#pragma once

#include "engine/peers/QElement.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace koruvan::engine {

class QMultiElement : public QElement {
  public:
    ~QMultiElement() override;

    // Parses a bracketed container ('d', 'D', 'l' or 'L' ... 'e' or 'E'); any of the four
    // opening markers is accepted whatever this container's own type.
    [[nodiscard]] std::int32_t Parse(const char* text, std::int32_t len) override;

    [[nodiscard]] QElement* NextOf(const QElement* child) const noexcept override;
    [[nodiscard]] QElement* PreviousOf(const QElement* child) const noexcept override;
    [[nodiscard]] QElement* Find(const char* key, std::int32_t len = 0) const noexcept override;
    [[nodiscard]] QElement* FindString(const char* data,
                                       std::int32_t len = 0) const noexcept override;
    [[nodiscard]] QElement* At(std::int32_t index) const noexcept override;
    QElement* Append(QElement* e) override;
    QElement* AppendString(const char* s, std::int32_t len, std::int64_t value = 0,
                           bool hasInteger = false) override;
    QElement* InsertAt(std::int32_t index, QElement* e) override;
    QElement* InsertStringAt(std::int32_t index, const char* s, std::int32_t len,
                             std::int64_t value = 0, bool hasInteger = false) override;
    bool RemoveAt(std::int32_t index) noexcept override;
    bool Remove(QElement* e) noexcept override;
    bool DetachAt(std::int32_t index) noexcept override;
    bool Detach(QElement* e) noexcept override;
    bool Clear() noexcept override;
    [[nodiscard]] std::int32_t Count() const noexcept override;
    void Text(std::string& out, std::string_view separator) const override;
    void SetCodePage(std::int32_t codePage) noexcept override;
    void Reset() noexcept override;

  protected:
    QMultiElement() noexcept = default;

  private:
    friend class QElement;

    std::int32_t ParseNested(const char* text, std::int32_t len, int depth);
    std::int32_t ParseChildren(const char* text, std::int32_t space, int depth);
    // Index of `child` among the children, or -1; tries the cursor first.
    [[nodiscard]] std::ptrdiff_t IndexOf(const QElement* child) const noexcept;
    // Releases `child` from the children without deleting it; false when not a child.
    bool Unlink(QElement* child) noexcept;
    void DeleteChildren() noexcept;

    std::vector<std::unique_ptr<QElement>> children_;
    mutable std::size_t cursor_ = 0;
};

class QDictionaryElement final : public QMultiElement {
  public:
    QDictionaryElement() noexcept = default;
    [[nodiscard]] std::int32_t Type() const noexcept override { return kElementDictionary; }
};

class QListElement final : public QMultiElement {
  public:
    QListElement() noexcept = default;
    [[nodiscard]] std::int32_t Type() const noexcept override { return kElementList; }
};

// The empty element an encoded text starting with `first` needs: a dictionary for 'd' or
// 'D', a list for 'l' or 'L', a string element for a decimal digit; null otherwise.
[[nodiscard]] std::unique_ptr<QElement> NewElementFor(char first);

}  // namespace koruvan::engine
