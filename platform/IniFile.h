// INI files on disk with the private-profile semantics the controller relies on (see
// IniDocument for the lookup rules), made safe for several threads and processes and for
// crashes:
// - every write is a read-modify-write of the whole file, replaced atomically
//   (WriteFileAtomic), so a crash, a kill or a full disk leaves the old or the new file;
// - writers hold an exclusive flock on `path` + ".lock", readers a shared one, so
//   concurrent writers never lose each other's keys. The lock file is created by the first
//   write and never deleted (deleting it would let two writers lock different files).
// - temporary files a killed writer left behind are removed by the next write.
// Nothing throws; reads fall back to their defaults, writes report false.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/IniDocument.h"

namespace koruvan::platform {

class IniFile {
  public:
    explicit IniFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const noexcept { return path_; }

    // The value of `key` in `section`; `defaultValue` when the file, the section or the key
    // is missing or the file cannot be read.
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue = {}) const;
    // The entry as an unsigned integer (rules: ProfileInt); `defaultValue` (converted to
    // unsigned) when it is missing or empty or the file cannot be read.
    std::uint32_t GetInt(std::string_view section, std::string_view key, int defaultValue) const;
    // Names of the sections / of the keys of `section`; empty when there are none.
    std::vector<std::string> ReadSections() const;
    std::vector<std::string> ReadKeys(std::string_view section) const;

    // The whole file under one shared lock, for reading many keys consistently. An empty
    // document when the file is missing; nullopt when it exists but cannot be read.
    std::optional<IniDocument> Load() const;

    // Sets `key` in `section` to `value`, creating the file, the section and the key as
    // needed. A null `value` deletes the key; a null `key` deletes the whole section. The
    // folder must exist. True when the file holds the requested state afterwards (deleting
    // from a missing file creates nothing and succeeds). False when the file could not be
    // read (it is then left alone rather than replaced by a partial copy), could not be
    // written, or an argument cannot be stored (see IniDocument::Set).
    bool WriteString(std::string_view section, std::optional<std::string_view> key,
                     std::optional<std::string_view> value);

    // Deletes the file, serialised with writers. True when it is gone afterwards.
    bool Remove();

  private:
    std::string path_;
};

}  // namespace koruvan::platform
