// One open target file of the storage layer: a platform file plus whether it was opened
// read-only. Every engine file is opened through Open/Create here, so the open rules live
// in one place. Every change and flush is shown to the storage observer (StorageObserver.h).
//
// Not thread-safe; a file belongs to the task thread of its piece map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/File.h"

namespace koruvan::engine {

class EngineFile {
  public:
    // Read-only opens existing files only; writable opens create a missing file and keep
    // an existing one.
    [[nodiscard]] bool Open(const std::string& path, bool readOnly) noexcept;
    // Creates the file or truncates an existing one (writable).
    [[nodiscard]] bool Create(const std::string& path) noexcept;
    bool Close() noexcept;

    [[nodiscard]] bool IsOpen() const noexcept { return file_.IsOpen(); }
    [[nodiscard]] bool IsReadOnly() const noexcept { return readOnly_; }
    [[nodiscard]] bool IsWritable() const noexcept { return file_.IsOpen() && !readOnly_; }

    [[nodiscard]] std::int64_t ReadAt(std::uint64_t offset, void* buffer,
                                      std::size_t size) noexcept;
    [[nodiscard]] std::int64_t WriteAt(std::uint64_t offset, const void* buffer,
                                       std::size_t size) noexcept;
    [[nodiscard]] std::int64_t WriteAtV(std::uint64_t offset, const platform::File::Span* spans,
                                        std::size_t count) noexcept;
    // Starts the disk writes of a written range early (see platform::File).
    void StartWriteback(std::uint64_t offset, std::uint64_t length) noexcept {
        file_.StartWriteback(offset, length);
    }
    // The length, asked of the system once and then kept up to date by this object's own
    // writes (only this object changes the file while it is open).
    [[nodiscard]] std::optional<std::uint64_t> Size() noexcept;
    // Cuts or extends the file to `length` (an extension is a hole, no zeros written).
    [[nodiscard]] bool SetEndOfFile(std::uint64_t length) noexcept;
    // Extends the file from `from` to `to`, reserving the disk blocks without writing zeros
    // where the file system can, else as a hole. False on failure; LastError() tells why.
    [[nodiscard]] bool Grow(std::uint64_t from, std::uint64_t to) noexcept;
    [[nodiscard]] bool SyncData() noexcept;
    [[nodiscard]] std::optional<std::uint64_t> LastWriteTime() noexcept {
        return file_.LastWriteTime();
    }
    [[nodiscard]] int LastError() const noexcept { return file_.LastError(); }

  private:
    void NoteWritten(std::uint64_t offset, std::int64_t written) noexcept;

    platform::File file_;
    std::string path_;  // as opened: what the storage observer is told
    bool readOnly_ = false;
    std::optional<std::uint64_t> size_;  // known length; empty: ask the system
};

// Whether an error number from LastError() means the disk is full.
[[nodiscard]] bool IsDiskFullError(int error) noexcept;

}  // namespace koruvan::engine
