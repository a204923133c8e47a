// A running SHA-1 computation whose state can be stored and taken up again, so that a
// partly received piece resumes without rereading the bytes already hashed.
//
// The stored form is the 104-byte context record of the RFC 3174 reference code, little-
// endian: five u32 intermediate hash words (offset 0), u32 message length low word in bits
// (20), u32 high word (24), i16 index into the message block (28), the 64-byte message
// block (30), 2 padding bytes (94), i32 computed flag (96), i32 corrupted flag (100).
//
// Not thread-safe; each piece owns its own state.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace koruvan::engine {

class Sha1State {
  public:
    static constexpr std::size_t kStoredSize = 104;
    using Stored = std::array<std::uint8_t, kStoredSize>;
    using Digest = std::array<std::uint8_t, 20>;

    Sha1State() noexcept;

    // Back to the initial state (nothing hashed).
    void Reset() noexcept;
    void Update(const void* data, std::size_t size) noexcept;
    // The digest of everything hashed so far; the running state is left unchanged.
    [[nodiscard]] Digest Peek() const noexcept;
    // Bytes hashed so far.
    [[nodiscard]] std::uint64_t BytesHashed() const noexcept;

    [[nodiscard]] Stored Export() const noexcept;
    // Takes up a stored state. Refused (false, state unchanged) when the record is not one
    // this code could have written: computed or corrupted set, an index outside 0..63, a
    // bit length that is not whole bytes or does not agree with the index.
    [[nodiscard]] bool Import(const std::uint8_t* stored, std::size_t size) noexcept;

    // SHA-1 of one buffer.
    [[nodiscard]] static Digest Of(const void* data, std::size_t size) noexcept;

  private:
    // The library's context, kept in place (no allocation); copyable as plain bytes.
    alignas(8) unsigned char storage_[96];
};

}  // namespace koruvan::engine
