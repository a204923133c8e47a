#include "platform/FolderAccess.h"

#include <unistd.h>

#include "platform/Paths.h"

namespace koruvan::platform {

bool IsWritableFolder(const std::string& path) noexcept {
    return !path.empty() && IsDirectory(path) && access(path.c_str(), W_OK) == 0;
}

}  // namespace koruvan::platform
