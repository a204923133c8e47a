// The resume record ("bits" blob of the task state file) and the file-list record ("part"
// blob), as written by the piece layer when it closes its files.
//
// Resume record: one bencoded dictionary whose flat children are, in order: "infohash" and
// its 20 bytes (only with metainfo); per file its path followed by "Low" and "High" (the
// last-write time, 100-ns units since 1601, split in 32-bit halves), "Size" (bytes on disk,
// -1 when the file could not be opened) and "Priority", each carrying its integer; then
// "PieceStatus" and a list with one dictionary per partly hashed piece ("Index", "Part",
// "Status" and the 104-byte running hash, "CRC32" its checksum); then "BitField" and the
// piece bitfield. Integers equal to 0 are written without a value; readers take a missing
// integer as 0.
//
// File-list record: a list with, per file, its relative name (carrying 1 when the file is
// skipped), then an empty dictionary.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/Sha1State.h"
#include "engine/peers/QElement.h"

namespace koruvan::engine {

using InfoHashBytes = std::array<std::uint8_t, 20>;

struct ResumeFile {
    std::string path;
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    std::int64_t size = -1;
    std::int32_t priority = 0;
};

struct ResumePiece {
    std::int32_t index = 0;
    std::int32_t part = 0;  // bytes written and hashed
    Sha1State::Stored status{};
    std::uint32_t checksum = 0;
};

struct ResumeRecord {
    std::optional<InfoHashBytes> infoHash;
    std::vector<ResumeFile> files;
    std::vector<ResumePiece> pieces;
    std::string bitfield;
};

// Checksum of a stored hash state: Adler-32 of the 104 bytes, started from the piece index.
[[nodiscard]] std::uint32_t ResumeStatusChecksum(std::int32_t index,
                                                 const Sha1State::Stored& status) noexcept;

// The encoded record; empty when it cannot be built.
[[nodiscard]] std::string EncodeResumeRecord(const ResumeRecord& record);

// Read access to a stored record. Nothing in it is trusted: callers check what they take.
class ResumeReader {
  public:
    // False when the blob is not a dictionary.
    [[nodiscard]] bool Parse(std::string_view blob);

    // The "infohash" value when present with exactly 20 bytes.
    [[nodiscard]] std::optional<InfoHashBytes> InfoHash() const;
    // The entry of a file recorded under `path` (or else under `alternative`); nullopt
    // when neither is present or "Low", "High" and "Size" do not follow it.
    [[nodiscard]] std::optional<ResumeFile> File(const std::string& path,
                                                 const std::string& alternative) const;
    [[nodiscard]] std::optional<std::string> BitField() const;
    // The "PieceStatus" entries that carry a whole stored state; others are left out.
    [[nodiscard]] std::vector<ResumePiece> Pieces() const;

  private:
    [[nodiscard]] const QElement* ValueAfter(const char* key) const;

    std::string blob_;  // the parsed tree points into it
    std::unique_ptr<QElement> root_;
};

// The file-list record.
struct FileListEntry {
    std::string relativeName;
    bool skipped = false;
};
[[nodiscard]] std::string EncodeFileList(const std::vector<FileListEntry>& files);

}  // namespace koruvan::engine
