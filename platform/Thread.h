// Names and ids of operating-system threads, as debuggers, `top -H` and crash reports show
// them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace koruvan::platform {

// Names the calling thread. The kernel keeps at most 15 bytes; a longer name is cut there,
// never inside a UTF-8 sequence. False when the name could not be set.
bool SetCurrentThreadName(std::string_view name) noexcept;

// The calling thread's name as the kernel keeps it; empty when it cannot be read.
std::string CurrentThreadName();

// The kernel's id of the calling thread (gettid); unique among the live threads of the
// system and never 0.
std::uint32_t CurrentThreadId() noexcept;

}  // namespace koruvan::platform
