// The engine's global IP filter and its file path. Tasks take a copy and refresh it when
// the generation number moves on (a new file loaded or the filter cleared).
//
// Locking: the filter and its path are guarded by a lock of their own, taken only here.
#pragma once

#include <cstdint>
#include <string>

#include "net/CIPFilter.h"

namespace koruvan::engine {

// Reads the filter file (null or empty: clears the filter and its path). Returns the number
// of ranges loaded, or -1 when the file cannot be read (the filter is then empty).
std::int32_t LoadGlobalFilter(const char* path);
// Re-reads the file when `force` is set or the filter is empty and a path is kept.
void ReloadGlobalFilter(bool force);
// Copies the global filter into `copy` when its generation differs from `generation`.
void RefreshFilterCopy(net::CIPFilter& copy, std::uint32_t& generation);
// The generation of the global filter (starts at 1; 0 never names a filter).
std::uint32_t GlobalFilterGeneration() noexcept;

}  // namespace koruvan::engine
