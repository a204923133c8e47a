// The running process.
#pragma once

#include <cstdint>

namespace koruvan::platform {

// The process id (getpid).
std::uint32_t CurrentProcessId() noexcept;

}  // namespace koruvan::platform
