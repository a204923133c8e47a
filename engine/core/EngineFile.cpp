#include "engine/core/EngineFile.h"

#include <algorithm>
#include <system_error>

#include "engine/core/StorageObserver.h"

namespace koruvan::engine {

bool EngineFile::Open(const std::string& path, bool readOnly) noexcept {
    readOnly_ = readOnly;
    size_.reset();
    path_ = path;
    if (!readOnly && !StorageAllow(StorageOp::kWrite, path)) {
        return false;  // a writable open may create the file
    }
    return file_.Open(path,
                      readOnly ? platform::OpenMode::ReadExisting : platform::OpenMode::OpenAlways);
}

bool EngineFile::Create(const std::string& path) noexcept {
    readOnly_ = false;
    size_.reset();
    path_ = path;
    if (!StorageAllow(StorageOp::kWrite, path)) {
        return false;
    }
    return file_.Open(path, platform::OpenMode::CreateAlways);
}

bool EngineFile::Close() noexcept {
    readOnly_ = false;
    size_.reset();
    return file_.Close();
}

std::int64_t EngineFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) noexcept {
    return file_.ReadAt(offset, buffer, size);
}

std::int64_t EngineFile::WriteAt(std::uint64_t offset, const void* buffer,
                                 std::size_t size) noexcept {
    if (readOnly_ || !StorageAllow(StorageOp::kWrite, path_)) {
        return -1;
    }
    const std::int64_t written = file_.WriteAt(offset, buffer, size);
    NoteWritten(offset, written);
    return written;
}

std::int64_t EngineFile::WriteAtV(std::uint64_t offset, const platform::File::Span* spans,
                                  std::size_t count) noexcept {
    if (readOnly_ || !StorageAllow(StorageOp::kWrite, path_)) {
        return -1;
    }
    const std::int64_t written = file_.WriteAtV(offset, spans, count);
    NoteWritten(offset, written);
    return written;
}

void EngineFile::NoteWritten(std::uint64_t offset, std::int64_t written) noexcept {
    if (written < 0) {
        size_.reset();  // a failed write may have moved the end: ask again
    } else if (size_) {
        size_ = std::max(*size_, offset + static_cast<std::uint64_t>(written));
    }
}

std::optional<std::uint64_t> EngineFile::Size() noexcept {
    if (!size_) {
        size_ = file_.Size();
    }
    return size_;
}

bool EngineFile::SetEndOfFile(std::uint64_t length) noexcept {
    size_.reset();
    return StorageAllow(StorageOp::kWrite, path_) && file_.SetSize(length);
}

bool EngineFile::SyncData() noexcept {
    if (!StorageAllow(StorageOp::kFlush, path_) || !file_.SyncData()) {
        return false;
    }
    StorageDone(StorageOp::kFlush, path_);
    return true;
}

bool EngineFile::Grow(std::uint64_t from, std::uint64_t to) noexcept {
    if (to <= from) {
        return true;
    }
    size_.reset();
    if (!StorageAllow(StorageOp::kWrite, path_)) {
        return false;
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
