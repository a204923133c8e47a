// Random bytes from the kernel's generator, for identities, names and transaction ids.
#pragma once

#include <cstddef>
#include <cstdint>

namespace koruvan::platform {

// Fills `size` bytes from getrandom(), falling back to /dev/urandom where that call is
// missing. False when neither source could deliver; the buffer content is then undefined.
[[nodiscard]] bool RandomBytes(void* buffer, std::size_t size) noexcept;

// A random 32-bit value. Should the kernel sources fail, it is derived from the clock, the
// process id and a counter instead (distinct per call, but not unpredictable).
std::uint32_t RandomUint32() noexcept;

}  // namespace koruvan::platform
