#include "tools/mkplan/PlanContent.h"

#include <openssl/evp.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace koruvan::tools {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kChunk = 1 << 20;

constexpr std::string_view kScriptHead =
    "#!/bin/sh\n"
    "# Installer of the Koruvan demo game, made by koruvan-mkplan. It installs nothing: it\n"
    "# reports that it ran, on its output and in demo-game-installed.txt in its folder.\n"
    "echo \"Koruvan demo game: installed into $(pwd)\"\n"
    "date > demo-game-installed.txt 2>/dev/null\n"
    "exit 0\n";

struct DigestContextFree {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

DigestContext NewDigest(const EVP_MD* md) {
    DigestContext c(EVP_MD_CTX_new());
    if (!c || EVP_DigestInit_ex(c.get(), md, nullptr) != 1) {
        throw std::runtime_error("the digest functions are not available");
    }
    return c;
}

// MD5 of the whole file and SHA-1 per piece, fed in chunks of any size.
class FileHasher {
  public:
    explicit FileHasher(std::int32_t pieceLength)
        : pieceLength_(static_cast<std::uint64_t>(pieceLength)),
          md5_(NewDigest(EVP_md5())),
          sha1_(NewDigest(EVP_sha1())) {}

    void Update(const char* data, std::size_t n) {
        EVP_DigestUpdate(md5_.get(), data, n);
        while (n > 0) {
            const std::size_t take =
                static_cast<std::size_t>(std::min<std::uint64_t>(n, pieceLength_ - inPiece_));
            EVP_DigestUpdate(sha1_.get(), data, take);
            inPiece_ += take;
            total_ += take;
            data += take;
            n -= take;
            if (inPiece_ == pieceLength_) {
                EndPiece();
            }
        }
    }

    FileDigest Finish() {
        if (inPiece_ > 0) {
            EndPiece();
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(md5_.get(), digest, &length);
        static constexpr char kHex[] = "0123456789abcdef";
        FileDigest out;
        out.size = total_;
        for (unsigned int i = 0; i < length; ++i) {
            out.md5 += kHex[digest[i] >> 4];
            out.md5 += kHex[digest[i] & 0xF];
        }
        out.pieceHashes = std::move(pieces_);
        return out;
    }

  private:
    void EndPiece() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(sha1_.get(), digest, &length);
        pieces_.append(reinterpret_cast<const char*>(digest), length);
        EVP_DigestInit_ex(sha1_.get(), EVP_sha1(), nullptr);
        inPiece_ = 0;
    }

    std::uint64_t pieceLength_;
    DigestContext md5_;
    DigestContext sha1_;
    std::uint64_t inPiece_ = 0;
    std::uint64_t total_ = 0;
    std::string pieces_;
};

// xoshiro256** seeded through splitmix64: fast, and the same bytes for the same seed on
// every machine.
class RandomBytes {
  public:
    RandomBytes(std::uint64_t seed, std::uint64_t stream) {
        std::uint64_t x = seed ^ (stream * 0x9E3779B97F4A7C15ull);
        for (auto& word : state_) {
            x += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }

    std::uint64_t Next() {
        const std::uint64_t result = Rotl(state_[1] * 5, 7) * 9;
        const std::uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = Rotl(state_[3], 45);
        return result;
    }

    void Fill(char* out, std::size_t n) {
        while (n > 0) {
            std::uint64_t word = Next();
            const std::size_t take = std::min<std::size_t>(n, 8);
            for (std::size_t i = 0; i < take; ++i, word >>= 8) {
                *out++ = static_cast<char>(word & 0xFF);
            }
            n -= take;
        }
    }

  private:
    static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t state_[4];
};

// The installer script: its head, then comment lines of 63 random hex digits.
class ScriptBytes {
  public:
    ScriptBytes(std::uint64_t seed, std::uint64_t stream) : random_(seed, stream) {}

    void Fill(char* out, std::size_t n) {
        static constexpr char kHex[] = "0123456789abcdef";
        for (std::size_t i = 0; i < n; ++i, ++at_) {
            if (at_ < kScriptHead.size()) {
                out[i] = kScriptHead[at_];
                continue;
            }
            const std::uint64_t column = (at_ - kScriptHead.size()) % 64;
            out[i] = column == 0 ? '#' : column == 63 ? '\n' : kHex[random_.Next() & 0xF];
        }
    }

  private:
    RandomBytes random_;
    std::uint64_t at_ = 0;
};

std::string TemporaryName(const std::string& path) {
    return path + ".part";
}

// Writes `size` bytes from `fill` to a temporary file, hashing them, and renames it.
template <typename Fill>
bool WriteHashed(const std::string& path, std::uint64_t size, std::int32_t pieceLength, Fill&& fill,
                 FileDigest& out, std::string& error) {
    const std::string part = TemporaryName(path);
    std::ofstream file(part, std::ios::binary | std::ios::trunc);
    FileHasher hasher(pieceLength);
    std::vector<char> chunk(kChunk);
    std::string problem;
    for (std::uint64_t left = size; file && left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
        if (!fill(chunk.data(), n)) {
            problem = "cannot read the content for " + path;
            break;
        }
        hasher.Update(chunk.data(), n);
        file.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    file.close();
    if (problem.empty() && !file) {
        problem = "cannot write " + part;
    }
    std::error_code ec;
    if (problem.empty()) {
        fs::rename(part, path, ec);
        if (ec) {
            problem = "cannot rename " + part + " to " + path;
        }
    }
    if (!problem.empty()) {
        fs::remove(part, ec);
        error = problem;
        return false;
    }
    out = hasher.Finish();
    return true;
}

bool HashExisting(const std::string& path, std::int32_t pieceLength, FileDigest& out,
                  std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    FileHasher hasher(pieceLength);
    std::vector<char> chunk(kChunk);
    while (file) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        hasher.Update(chunk.data(), static_cast<std::size_t>(file.gcount()));
    }
    if (!file.eof()) {
        error = "cannot read " + path;
        return false;
    }
    out = hasher.Finish();
    return true;
}

}  // namespace

std::string_view InstallerScriptHead() noexcept {
    return kScriptHead;
}

bool GenerateFile(const std::string& path, std::uint64_t size, ContentKind kind, std::uint64_t seed,
                  std::uint64_t stream, std::int32_t pieceLength, FileDigest& out,
                  std::string& error) {
    if (kind == ContentKind::InstallerScript) {
        ScriptBytes script(seed, stream);
        return WriteHashed(
            path, size, pieceLength,
            [&](char* p, std::size_t n) {
                script.Fill(p, n);
                return true;
            },
            out, error);
    }
    RandomBytes random(seed, stream);
    return WriteHashed(
        path, size, pieceLength,
        [&](char* p, std::size_t n) {
            random.Fill(p, n);
            return true;
        },
        out, error);
}

bool TakeFile(const std::string& source, const std::string& path, bool hardLink,
              std::int32_t pieceLength, FileDigest& out, std::string& error) {
    std::error_code ec;
    if (!fs::is_regular_file(source, ec)) {
        error = "not a regular file: " + source;
        return false;
    }
    if (fs::exists(path, ec) && fs::equivalent(source, path, ec)) {
        return HashExisting(path, pieceLength, out, error);  // already in place
    }
    fs::remove(path, ec);
    if (hardLink) {
        fs::create_hard_link(source, path, ec);
        if (!ec) {
            return HashExisting(path, pieceLength, out, error);
        }
    }
    const std::uint64_t size = fs::file_size(source, ec);
    std::ifstream in(source, std::ios::binary);
    if (ec || !in) {
        error = "cannot read " + source;
        return false;
    }
    return WriteHashed(
        path, size, pieceLength,
        [&](char* p, std::size_t n) {
            return static_cast<bool>(in.read(p, static_cast<std::streamsize>(n)));
        },
        out, error);
}

}  // namespace koruvan::tools
