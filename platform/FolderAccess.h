// Whether the calling user may create files in a folder.
#pragma once

#include <string>

namespace koruvan::platform {

// True when `path` is an existing folder the calling user may write into (access W_OK;
// symbolic links followed). A read-only mount gives false.
[[nodiscard]] bool IsWritableFolder(const std::string& path) noexcept;

}  // namespace koruvan::platform
