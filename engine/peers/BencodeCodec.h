// Entry points of the bencode dialect: parsing outside input into an element tree, making
// empty containers to build on, and writing a tree back out.
#pragma once

#include "engine/peers/QElement.h"
#include "engine/peers/QMultiElement.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace koruvan::engine {

// Parses one element from at most `len` bytes: a dictionary for a first byte 'd' or 'D', a
// list for 'l' or 'L', a string element for a decimal digit. Null for anything else, an
// empty text or any parse failure (nothing stays allocated). Bytes after the element are
// ignored. The source pointers of the tree point into `text`.
[[nodiscard]] std::unique_ptr<QElement> ParseBencode(const char* text, std::int32_t len);
[[nodiscard]] std::unique_ptr<QElement> ParseBencode(std::string_view text);

// An empty, valid dictionary or list to build on.
[[nodiscard]] std::unique_ptr<QElement> NewDictionary();
[[nodiscard]] std::unique_ptr<QElement> NewList();

// Bytes the element's encoding takes: a string element's encoded length, a dictionary or
// list 2 plus its children, a bare container its children alone; 0 for an invalid element,
// another type, a child that gives 0, or a total beyond 32 bits.
[[nodiscard]] std::int32_t EncodedSize(const QElement* e) noexcept;

// Appends the encoding of `e` to `out`: glued integers only where the element has a value,
// integers in canonical form. False when any element of the tree is invalid (what was
// already appended stays).
[[nodiscard]] bool Encode(const QElement* e, std::string& out);

}  // namespace koruvan::engine
