#include "platform/IniFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/File.h"

namespace koruvan::platform {
namespace {

// A descriptor of the lock file; closing it releases the flock.
class LockHandle {
  public:
    explicit LockHandle(int fd) noexcept : fd_(fd) {}
    ~LockHandle() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    LockHandle(const LockHandle&) = delete;
    LockHandle& operator=(const LockHandle&) = delete;

    bool Valid() const noexcept { return fd_ >= 0; }
    bool Lock(int operation) noexcept {
        int rc = 0;
        do {
            rc = flock(fd_, operation);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

  private:
    int fd_;
};

std::string LockPath(const std::string& path) {
    return path + ".lock";
}

bool IsMissing(int error) noexcept {
    return error == ENOENT || error == ENOTDIR;
}

// Reads the file into `text` (empty when it is missing). False on a read error other than
// a missing file.
bool ReadText(const std::string& path, std::string& text) {
    if (ReadWholeFile(path, text)) {
        return true;
    }
    return IsMissing(errno);
}

bool IsHex(std::string_view s) {
    return s.find_first_not_of("0123456789abcdefABCDEF") == std::string_view::npos;
}

// Removes the temporary files of WriteFileAtomic() that a killed writer of `path` left
// behind. Only called under the exclusive lock, when no other writer can be mid-write.
void RemoveStaleTemps(const std::string& path) {
    const std::string prefix = AtomicTempPrefix(path);
    const std::size_t slash = prefix.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : prefix.substr(0, slash + 1);
    const std::string namePrefix = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.size() == namePrefix.size() + 8 &&
            name.substr(0, namePrefix.size()) == namePrefix &&
            IsHex(name.substr(namePrefix.size()))) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
}

}  // namespace

std::optional<IniDocument> IniFile::Load() const {
    try {
        // Readers need no lock file of their own: without one no writer has run, and
        // writes replace the file atomically anyway. The shared lock only orders a read
        // after a write in progress.
        LockHandle lock(open(LockPath(path_).c_str(), O_RDONLY | O_CLOEXEC));
        if (lock.Valid()) {
            (void)lock.Lock(LOCK_SH);
        }
        std::string text;
        if (!ReadText(path_, text)) {
            return std::nullopt;
        }
        return IniDocument::Parse(text);
    } catch (...) {
        return std::nullopt;
    }
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue) const {
    const auto doc = Load();
    return doc ? doc->GetString(section, key, defaultValue) : std::string(defaultValue);
}

std::uint32_t IniFile::GetInt(std::string_view section, std::string_view key,
                              int defaultValue) const {
    const auto doc = Load();
    return doc ? doc->GetInt(section, key, defaultValue) : ProfileInt(std::nullopt, defaultValue);
}

std::vector<std::string> IniFile::ReadSections() const {
    const auto doc = Load();
    return doc ? doc->Sections() : std::vector<std::string>();
}

std::vector<std::string> IniFile::ReadKeys(std::string_view section) const {
    const auto doc = Load();
    return doc ? doc->Keys(section) : std::vector<std::string>();
}

bool IniFile::WriteString(std::string_view section, std::optional<std::string_view> key,
                          std::optional<std::string_view> value) {
    try {
        LockHandle lock(open(LockPath(path_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
        if (!lock.Valid() || !lock.Lock(LOCK_EX)) {
            return false;
        }
        RemoveStaleTemps(path_);
        std::string original;
        if (!ReadText(path_, original)) {
            return false;  // never replace a file we could not read
        }
        IniDocument doc = IniDocument::Parse(original);
        if (!key) {
            doc.RemoveSection(section);
        } else if (!value) {
            doc.RemoveKey(section, *key);
        } else if (!doc.Set(section, *key, *value)) {
            return false;
        }
        const std::string text = doc.Serialize();
        if (text == original) {
            return true;  // nothing changed (also: a deletion from a missing file)
        }
        return WriteFileAtomic(path_, text);
    } catch (...) {
        return false;
    }
}

bool IniFile::Remove() {
    try {
        LockHandle lock(open(LockPath(path_).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
        if (lock.Valid()) {
            (void)lock.Lock(LOCK_EX);
        }
        return unlink(path_.c_str()) == 0 || IsMissing(errno);
    } catch (...) {
        return false;
    }
}

}  // namespace koruvan::platform
