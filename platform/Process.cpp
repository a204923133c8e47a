#include "platform/Process.h"

#include <unistd.h>

namespace koruvan::platform {

std::uint32_t CurrentProcessId() noexcept {
    return static_cast<std::uint32_t>(getpid());
}

}  // namespace koruvan::platform
