#include "engine/core/EngineFile.h"

#include <system_error>

namespace koruvan::engine {

bool EngineFile::Open(const std::string& path, bool readOnly) noexcept {
    readOnly_ = readOnly;
    return file_.Open(path,
                      readOnly ? platform::OpenMode::ReadExisting : platform::OpenMode::OpenAlways);
}

bool EngineFile::Create(const std::string& path) noexcept {
    readOnly_ = false;
    return file_.Open(path, platform::OpenMode::CreateAlways);
}

bool EngineFile::Close() noexcept {
    readOnly_ = false;
    return file_.Close();
}

std::int64_t EngineFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) noexcept {
    return file_.ReadAt(offset, buffer, size);
}

std::int64_t EngineFile::WriteAt(std::uint64_t offset, const void* buffer,
                                 std::size_t size) noexcept {
    if (readOnly_) {
        return -1;
    }
    return file_.WriteAt(offset, buffer, size);
}

bool EngineFile::Grow(std::uint64_t from, std::uint64_t to) noexcept {
    if (to <= from) {
        return true;
    }
    if (file_.Allocate(from, to - from)) {
        return true;
    }
    // File systems without block reservation get a hole instead; a full disk is reported.
    if (IsDiskFullError(file_.LastError())) {
        return false;
    }
    return file_.SetSize(to);
}

bool IsDiskFullError(int error) noexcept {
    return error == static_cast<int>(std::errc::no_space_on_device);
}

}  // namespace koruvan::engine
