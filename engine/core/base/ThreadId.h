// Engine thread identities: small non-zero numbers, unique for the life of the process.
// A thread started by QThread adopts the id its starter chose, so that the starter knows the
// id before the new thread runs (the old thread-creation call returned it the same way).
#pragma once

#include <cstdint>

namespace koruvan::engine {

// The calling thread's id; assigns a fresh one on first use. Never 0.
std::uint32_t CurrentThreadId() noexcept;

// A fresh id that no thread has used yet.
std::uint32_t AllocateThreadId() noexcept;

// Makes `id` the calling thread's id (used once, at the entry of a started thread).
void AdoptThreadId(std::uint32_t id) noexcept;

}  // namespace koruvan::engine
