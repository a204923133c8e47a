// INI text in memory, with the lookup and edit rules of the private-profile calls the
// controller was written against. IniFile adds the file, the locking and the atomic
// replacement; this class is pure text handling (and what the fuzz target feeds).
//
// Format: "[section]" lines open sections; "key=value" lines inside a section are entries;
// lines starting with ";" are comments; anything else is kept but ignored. Section and key
// names match ASCII case-insensitively and ignore surrounding blanks. Values are returned
// without surrounding blanks and without one pair of matching surrounding quotes ("..." or
// '...'). Bytes are opaque (UTF-8 text passes through untouched). Lines may end in CR LF or
// LF; every line keeps its own ending, and lines added by an edit take the ending of the
// document's first line (LF for a new document). A leading UTF-8 byte order mark is kept.
// When a section or key occurs twice, the first occurrence is the one read and written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::platform {

class IniDocument {
  public:
    IniDocument() = default;
    static IniDocument Parse(std::string_view text);
    std::string Serialize() const;

    // The value of `key` in `section`; nullopt when the section or the key is missing.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;
    // Find(), or `defaultValue` when missing.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    // The integer rule of the private-profile calls, see ProfileInt().
    std::uint32_t GetInt(std::string_view section, std::string_view key, int defaultValue) const;

    // Names of all sections, each once (first spelling), in file order.
    std::vector<std::string> Sections() const;
    // Keys of `section`, each once (first spelling), in file order.
    std::vector<std::string> Keys(std::string_view section) const;
    bool HasSection(std::string_view section) const;

    // Sets `key` in `section`, adding the section (at the end) or the key (after the last
    // line of the section) when missing. An existing entry keeps its key spelling and
    // becomes "key=value". A value that has surrounding blanks or is itself
    // quoted is written inside double quotes, so that Find() returns exactly `value`.
    // False, and nothing changed, when the text could not be read back as written: a line
    // break in any argument, "]" in the section name, "=" in the key, a key that is empty
    // or starts with "[" or ";".
    [[nodiscard]] bool Set(std::string_view section, std::string_view key, std::string_view value);
    // Removes every entry `key` of the first `section`; true when one was removed.
    bool RemoveKey(std::string_view section, std::string_view key);
    // Removes every `section` with all its lines (comments included); true when one was
    // removed.
    bool RemoveSection(std::string_view section);

  private:
    enum class Eol : std::uint8_t { None, Lf, CrLf };
    struct Line {
        std::string text;
        Eol eol;
    };

    std::size_t FindSection(std::string_view section) const;
    std::size_t SectionEnd(std::size_t header) const;
    Eol DefaultEol() const;
    void Insert(std::size_t index, std::string text);

    std::vector<Line> lines_;
    bool byteOrderMark_ = false;
};

// The integer value of a profile entry. `value` is the entry's text (nullopt: the key is
// missing). Rules:
// - missing key, or an empty value: `defaultValue`, converted to unsigned;
// - otherwise the leading decimal digits after an optional "+" or "-" ("102abc" → 102);
//   no digits (e.g. "abc", "0x10" → 0, "-" → 0) gives 0;
// - a negative value gives 0;
// - a value above 4294967295 gives 4294967295.
std::uint32_t ProfileInt(std::optional<std::string_view> value, int defaultValue) noexcept;

}  // namespace koruvan::platform
