#include "engine/core/Sha1State.h"

// The incremental interface of the library's SHA-1 is the only one whose state is open to
// inspection; its fields map one to one onto the stored context record.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

namespace koruvan::engine {
namespace {

constexpr std::size_t kBlockSize = 64;

void PutU32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

std::uint32_t GetU32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

static_assert(sizeof(SHA_CTX) <= 96 && alignof(SHA_CTX) <= 8, "the context must fit in place");

SHA_CTX& Ctx(unsigned char* storage) noexcept {
    return *reinterpret_cast<SHA_CTX*>(storage);
}

const SHA_CTX& Ctx(const unsigned char* storage) noexcept {
    return *reinterpret_cast<const SHA_CTX*>(storage);
}

}  // namespace

Sha1State::Sha1State() noexcept : storage_{} {
    Reset();
}

void Sha1State::Reset() noexcept {
    SHA1_Init(&Ctx(storage_));
}

void Sha1State::Update(const void* data, std::size_t size) noexcept {
    if (size > 0) {
        SHA1_Update(&Ctx(storage_), data, size);
    }
}

Sha1State::Digest Sha1State::Peek() const noexcept {
    Digest out{};
    SHA_CTX copy = Ctx(storage_);
    SHA1_Final(out.data(), &copy);
    return out;
}

std::uint64_t Sha1State::BytesHashed() const noexcept {
    const SHA_CTX& c = Ctx(storage_);
    const std::uint64_t bits = (static_cast<std::uint64_t>(c.Nh) << 32) | c.Nl;
    return bits / 8;
}

Sha1State::Stored Sha1State::Export() const noexcept {
    Stored out{};
    const SHA_CTX& c = Ctx(storage_);
    const std::uint32_t h[5] = {c.h0, c.h1, c.h2, c.h3, c.h4};
    for (int i = 0; i < 5; ++i) {
        PutU32(out.data() + 4 * i, h[i]);
    }
    PutU32(out.data() + 20, c.Nl);
    PutU32(out.data() + 24, c.Nh);
    const auto index = static_cast<std::uint16_t>(c.num);
    out[28] = static_cast<std::uint8_t>(index);
    out[29] = static_cast<std::uint8_t>(index >> 8);
    // The library keeps the pending bytes of the block in their arrival order.
    std::memcpy(out.data() + 30, c.data, kBlockSize);
    return out;  // padding, computed and corrupted stay 0
}

bool Sha1State::Import(const std::uint8_t* stored, std::size_t size) noexcept {
    if (stored == nullptr || size < kStoredSize) {
        return false;
    }
    const std::uint32_t low = GetU32(stored + 20);
    const std::uint32_t high = GetU32(stored + 24);
    const auto index = static_cast<std::int16_t>(
        static_cast<std::uint16_t>(stored[28] | static_cast<std::uint16_t>(stored[29] << 8)));
    const std::uint32_t computed = GetU32(stored + 96);
    const std::uint32_t corrupted = GetU32(stored + 100);
    if (computed != 0 || corrupted != 0 || index < 0 ||
        index >= static_cast<std::int16_t>(kBlockSize) || (low % 8) != 0 ||
        ((low / 8) % kBlockSize) != static_cast<std::uint32_t>(index)) {
        return false;
    }
    SHA_CTX c{};
    c.h0 = GetU32(stored);
    c.h1 = GetU32(stored + 4);
    c.h2 = GetU32(stored + 8);
    c.h3 = GetU32(stored + 12);
    c.h4 = GetU32(stored + 16);
    c.Nl = low;
    c.Nh = high;
    std::memcpy(c.data, stored + 30, kBlockSize);
    c.num = static_cast<unsigned int>(index);
    Ctx(storage_) = c;
    return true;
}

Sha1State::Digest Sha1State::Of(const void* data, std::size_t size) noexcept {
    Digest out{};
    SHA1(static_cast<const unsigned char*>(data), size, out.data());
    return out;
}

}  // namespace koruvan::engine
