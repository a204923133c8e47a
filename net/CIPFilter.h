// A set of blocked IPv4 address ranges read from a text file, one range a line:
//   [blanks] START-END LEVEL [any text]
// with dotted addresses and a decimal level; a line is used only when its level is below
// the filter's level limit (127). Empty lines and lines starting with "#" are skipped, as is
// every line that does not parse. Overlapping ranges are merged as they are read.
//
// A filter is a plain value with no lock: the engine keeps one global filter under its own
// lock and each task works on a copy of it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace koruvan::net {

class CIPFilter {
  public:
    static constexpr std::int32_t kDefaultLevelLimit = 127;
    // Characters of a line that are looked at; the rest of a longer line is ignored.
    static constexpr std::size_t kMaxLineLength = 510;

    CIPFilter() = default;
    virtual ~CIPFilter() = default;
    CIPFilter(const CIPFilter&) = default;
    CIPFilter& operator=(const CIPFilter&) = default;

    // Adds the usable lines of a file; returns the number of ranges added (the map's growth),
    // or -1 when the file cannot be opened (the filter is then left empty).
    std::int32_t Load(const std::string& path);
    // The same for text already in memory (one line per "\n"; "\r" before it is ignored).
    std::int32_t LoadText(std::string_view text);
    // ip in network byte order.
    [[nodiscard]] bool IsBlocked(std::uint32_t ipNetworkOrder) const;
    void Clear();
    void CopyFrom(const CIPFilter& other);

    [[nodiscard]] std::size_t RangeCount() const noexcept { return ranges_.size(); }
    [[nodiscard]] bool Empty() const noexcept { return ranges_.empty(); }
    // Range end -> range start, host order, both inclusive.
    [[nodiscard]] const std::map<std::uint32_t, std::uint32_t>& Ranges() const noexcept {
        return ranges_;
    }

  private:
    void AddLine(std::string_view line);
    void Insert(std::uint32_t start, std::uint32_t end);

    std::int32_t levelLimit_ = kDefaultLevelLimit;
    std::map<std::uint32_t, std::uint32_t> ranges_;
};

// Dotted address text to a host-order number, octet by octet: every part between dots is
// read digit by digit into an 8-bit value (parts above 255 wrap); reading stops at the first
// character that is neither a digit nor a dot.
std::uint32_t ParseFilterAddress(std::string_view text) noexcept;

}  // namespace koruvan::net
