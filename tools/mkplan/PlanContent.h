// The five files of a bundle: generated with random content (file 0 optionally a small
// installer script) or taken from a folder, and hashed on the way: the MD5 digest of the
// whole file and the SHA-1 of every piece of its torrent.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::tools {

struct FileDigest {
    std::uint64_t size = 0;
    std::string md5;          // 32 lower-case hex digits
    std::string pieceHashes;  // 20 bytes per piece, the last piece may be short
};

// The script that generated file 0 starts with; the rest of the file is comment lines of
// random hex digits, so that the file has the requested size and a digest of its own.
[[nodiscard]] std::string_view InstallerScriptHead() noexcept;

// The marker file the installer script writes into its current folder when it runs.
inline constexpr std::string_view kInstalledMarker = "demo-game-installed.txt";

enum class ContentKind { Random, InstallerScript };

// Writes `size` bytes of generated content to `path`, under a temporary name first and
// renamed at the end, so an interrupted run never leaves a complete-looking file. The
// content is a function of `seed` and `stream` alone. False with `error` set on failure.
[[nodiscard]] bool GenerateFile(const std::string& path, std::uint64_t size, ContentKind kind,
                                std::uint64_t seed, std::uint64_t stream, std::int32_t pieceLength,
                                FileDigest& out, std::string& error);

// Puts the existing file `source` at `path` and hashes it: a copy (under a temporary name,
// renamed at the end), or with `hardLink` a hard link where the file system allows one (the
// two names then share their content: a change to one changes the other).
[[nodiscard]] bool TakeFile(const std::string& source, const std::string& path, bool hardLink,
                            std::int32_t pieceLength, FileDigest& out, std::string& error);

}  // namespace koruvan::tools
