// Disk space queries for the save folder: free space, the space a file really occupies, and
// whether the file system keeps holes in sparse files.
#pragma once

#include <cstdint>
#include <string>

namespace koruvan::platform {

// Bytes available to the calling user on the file system holding `path` (f_bavail ×
// f_frsize). `path` need not exist: its nearest existing ancestor is asked. 0 for a relative
// path or when the query fails.
std::uint64_t FreeBytes(const std::string& path) noexcept;

// Bytes of disk space allocated to `path` (st_blocks × 512); when `path` does not exist, the
// same for `path` + ".kvtmp" (the name of an unfinished download). 0 when neither exists,
// -1 on any other error.
std::int64_t AllocatedBytes(const std::string& path) noexcept;

// Whether the file system of `folder` stores sparse files with holes: a byte written far
// behind the start of a temporary file must not allocate the space before it. False when
// the probe cannot be made.
bool HolesSupported(const std::string& folder) noexcept;

}  // namespace koruvan::platform
