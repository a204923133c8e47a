#include "platform/IniDocument.h"

#include <algorithm>

namespace koruvan::platform {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return FoldAscii(x) == FoldAscii(y);
           });
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

bool IsQuoted(std::string_view s) {
    return s.size() >= 2 && s.front() == s.back() && (s.front() == '"' || s.front() == '\'');
}

// What one line of the text is.
struct Parsed {
    enum Kind { Blank, Section, Comment, Entry, Other } kind = Blank;
    std::string_view name;   // section name or key, trimmed
    std::string_view value;  // entry value, trimmed, quotes kept
};

Parsed ParseLine(std::string_view text) {
    Parsed out;
    const std::string_view t = Trim(text);
    if (t.empty()) {
        return out;
    }
    if (t.front() == '[') {
        out.kind = Parsed::Section;
        const std::size_t close = t.find(']');
        out.name = Trim(close == std::string_view::npos ? t.substr(1) : t.substr(1, close - 1));
        return out;
    }
    if (t.front() == ';') {
        out.kind = Parsed::Comment;
        return out;
    }
    const std::size_t eq = t.find('=');
    if (eq == std::string_view::npos || Trim(t.substr(0, eq)).empty()) {
        out.kind = Parsed::Other;
        return out;
    }
    out.kind = Parsed::Entry;
    out.name = Trim(t.substr(0, eq));
    out.value = Trim(t.substr(eq + 1));
    return out;
}

}  // namespace

IniDocument IniDocument::Parse(std::string_view text) {
    IniDocument doc;
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        doc.byteOrderMark_ = true;
        text.remove_prefix(kByteOrderMark.size());
    }
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            doc.lines_.push_back({std::string(text), Eol::None});
            break;
        }
        std::string_view line = text.substr(0, lf);
        Eol eol = Eol::Lf;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
            eol = Eol::CrLf;
        }
        doc.lines_.push_back({std::string(line), eol});
        text.remove_prefix(lf + 1);
    }
    return doc;
}

std::string IniDocument::Serialize() const {
    std::string out;
    if (byteOrderMark_) {
        out.append(kByteOrderMark);
    }
    for (const Line& line : lines_) {
        out.append(line.text);
        out.append(line.eol == Eol::CrLf ? "\r\n" : line.eol == Eol::Lf ? "\n" : "");
    }
    return out;
}

std::size_t IniDocument::FindSection(std::string_view section) const {
    section = Trim(section);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Parsed p = ParseLine(lines_[i].text);
        if (p.kind == Parsed::Section && SameName(p.name, section)) {
            return i;
        }
    }
    return kNone;
}

std::size_t IniDocument::SectionEnd(std::size_t header) const {
    for (std::size_t i = header + 1; i < lines_.size(); ++i) {
        if (ParseLine(lines_[i].text).kind == Parsed::Section) {
            return i;
        }
    }
    return lines_.size();
}

IniDocument::Eol IniDocument::DefaultEol() const {
    for (const Line& line : lines_) {
        if (line.eol != Eol::None) {
            return line.eol;
        }
    }
    return Eol::Lf;
}

void IniDocument::Insert(std::size_t index, std::string text) {
    const Eol eol = DefaultEol();
    if (index > 0 && lines_[index - 1].eol == Eol::None) {
        lines_[index - 1].eol = eol;  // the old last line gets its missing line break
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(index), Line{std::move(text), eol});
}

std::optional<std::string> IniDocument::Find(std::string_view section, std::string_view key) const {
    const std::size_t header = FindSection(section);
    if (header == kNone) {
        return std::nullopt;
    }
    key = Trim(key);
    const std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        const Parsed p = ParseLine(lines_[i].text);
        if (p.kind == Parsed::Entry && SameName(p.name, key)) {
            std::string_view value = p.value;
            if (IsQuoted(value)) {
                value = value.substr(1, value.size() - 2);
            }
            return std::string(value);
        }
    }
    return std::nullopt;
}

std::string IniDocument::GetString(std::string_view section, std::string_view key,
                                   std::string_view defaultValue) const {
    auto value = Find(section, key);
    return value ? std::move(*value) : std::string(defaultValue);
}

std::uint32_t IniDocument::GetInt(std::string_view section, std::string_view key,
                                  int defaultValue) const {
    const auto value = Find(section, key);
    return value ? ProfileInt(std::string_view(*value), defaultValue)
                 : ProfileInt(std::nullopt, defaultValue);
}

std::vector<std::string> IniDocument::Sections() const {
    std::vector<std::string> names;
    for (const Line& line : lines_) {
        const Parsed p = ParseLine(line.text);
        if (p.kind == Parsed::Section &&
            std::none_of(names.begin(), names.end(),
                         [&](const std::string& n) { return SameName(n, p.name); })) {
            names.emplace_back(p.name);
        }
    }
    return names;
}

std::vector<std::string> IniDocument::Keys(std::string_view section) const {
    std::vector<std::string> keys;
    const std::size_t header = FindSection(section);
    if (header == kNone) {
        return keys;
    }
    const std::size_t end = SectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        const Parsed p = ParseLine(lines_[i].text);
        if (p.kind == Parsed::Entry &&
            std::none_of(keys.begin(), keys.end(),
                         [&](const std::string& k) { return SameName(k, p.name); })) {
            keys.emplace_back(p.name);
        }
    }
    return keys;
}

bool IniDocument::HasSection(std::string_view section) const {
    return FindSection(section) != kNone;
}

bool IniDocument::Set(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value) ||
        section.find(']') != std::string_view::npos || key.empty() ||
        key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';') {
        return false;
    }
    std::string entry(key);
    entry.push_back('=');
    if (Trim(value) != value || IsQuoted(value)) {
        entry.append("\"").append(value).append("\"");
    } else {
        entry.append(value);
    }

    const std::size_t header = FindSection(section);
    if (header == kNone) {
        Insert(lines_.size(), "[" + std::string(section) + "]");
        Insert(lines_.size(), std::move(entry));
        return true;
    }
    const std::size_t end = SectionEnd(header);
    std::size_t lastUsed = header;
    for (std::size_t i = header + 1; i < end; ++i) {
        const Parsed p = ParseLine(lines_[i].text);
        if (p.kind == Parsed::Entry && SameName(p.name, key)) {
            // The stored spelling of the key stays; only the value changes.
            lines_[i].text = std::string(p.name) + entry.substr(key.size());
            return true;
        }
        if (p.kind != Parsed::Blank) {
            lastUsed = i;
        }
    }
    Insert(lastUsed + 1, std::move(entry));
    return true;
}

bool IniDocument::RemoveKey(std::string_view section, std::string_view key) {
    const std::size_t header = FindSection(section);
    if (header == kNone) {
        return false;
    }
    key = Trim(key);
    const std::size_t end = SectionEnd(header);
    const auto first = lines_.begin() + static_cast<std::ptrdiff_t>(header + 1);
    const auto last = lines_.begin() + static_cast<std::ptrdiff_t>(end);
    const auto kept = std::remove_if(first, last, [&](const Line& line) {
        const Parsed p = ParseLine(line.text);
        return p.kind == Parsed::Entry && SameName(p.name, key);
    });
    if (kept == last) {
        return false;
    }
    lines_.erase(kept, last);
    return true;
}

bool IniDocument::RemoveSection(std::string_view section) {
    bool removed = false;
    for (std::size_t header = FindSection(section); header != kNone;
         header = FindSection(section)) {
        const std::size_t end = SectionEnd(header);
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                     lines_.begin() + static_cast<std::ptrdiff_t>(end));
        removed = true;
    }
    return removed;
}

std::uint32_t ProfileInt(std::optional<std::string_view> value, int defaultValue) noexcept {
    if (!value || value->empty()) {
        return static_cast<std::uint32_t>(defaultValue);
    }
    std::string_view digits = Trim(*value);
    if (digits.empty()) {
        return 0;
    }
    bool negative = false;
    if (digits.front() == '+' || digits.front() == '-') {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            break;
        }
        magnitude = std::min<std::uint64_t>(magnitude * 10 + static_cast<unsigned>(c - '0'),
                                            UINT32_MAX + 1ull);
    }
    if (negative) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(magnitude, UINT32_MAX));
}

}  // namespace koruvan::platform
