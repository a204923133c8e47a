// The completion record of a finished file in the task file (section "KoruvanFinishInfo"):
// the high and low 32 bits of its last-write time (local file time, 100-ns units since
// 1601) and of its size, each as "%lu". At the next start a file whose record still matches
// is known complete and unchanged without hashing it.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "platform/IniDocument.h"

namespace koruvan::app {

inline constexpr const char* kFinishInfoSection = "KoruvanFinishInfo";

// The four values for the file at `path` in the order they are compared (write time high,
// low, size high, low); nullopt when the file is missing.
[[nodiscard]] std::optional<std::array<std::string, 4>> CompletionValues(const std::string& path);

// Key k (0..3) of file `index`, e.g. "KoruvanTask3WriteTimeHigh".
[[nodiscard]] std::string CompletionKey(int k, int index);

// Writes the record of file `index` into the task file `taskIni`; nothing for a missing
// file. Returns 0 when the record is stored (or there is nothing to store), else the error
// number of the failed write (e.g. ENOSPC when the data folder is full).
[[nodiscard]] int WriteCompletionRecord(const std::string& taskIni, int index,
                                        const std::string& path);

// Whether `doc` holds a record of file `index` that matches the file at `path` (false for
// a missing file or record).
[[nodiscard]] bool CompletionRecordMatches(const platform::IniDocument& doc, int index,
                                           const std::string& path);

}  // namespace koruvan::app
