#include "engine/core/PieceCache.h"

#include <zlib.h>

#include <mutex>

#include "engine/core/PieceStorage.h"
#include "engine/core/StorageObserver.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kBatchLimit = 1024 * 1024 - 1;  // a batch is written beyond this
constexpr std::size_t kBatchCapacity = 1152 * 1024;   // 1.125 MiB
constexpr std::uint64_t kRecordSlack = 1024 * 1024;

void PutU32(std::string& out, std::uint32_t v) {
    const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8),
                           static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    out.append(bytes, 4);
}

std::uint32_t GetU32(const unsigned char* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

class BatchWriter {
  public:
    explicit BatchWriter(platform::File& file) : file_(file) { batch_.reserve(kBatchCapacity); }

    bool Add(const std::string& header, std::string_view data) {
        if (data.size() >= kBatchLimit) {
            return Flush() && Put(header) && Put(data);
        }
        batch_ += header;
        batch_.append(data);
        return batch_.size() <= kBatchLimit || Flush();
    }
    bool Flush() {
        const bool ok = Put(batch_);
        batch_.clear();
        return ok;
    }

  private:
    bool Put(std::string_view bytes) {
        if (bytes.empty()) {
            return true;
        }
        std::lock_guard<std::mutex> guard(StorageDiskLock());
        if (file_.WriteAt(offset_, bytes.data(), bytes.size()) !=
            static_cast<std::int64_t>(bytes.size())) {
            return false;
        }
        offset_ += bytes.size();
        return true;
    }

    platform::File& file_;
    std::string batch_;
    std::uint64_t offset_ = 0;
};

bool WriteRecords(platform::File& file, const InfoHashBytes& infoHash,
                  const std::vector<PieceCacheRecord>& records) {
    BatchWriter writer(file);
    for (const PieceCacheRecord& r : records) {
        std::string header;
        PutU32(header, static_cast<std::uint32_t>(r.data.size()));
        PutU32(header, PieceCacheChecksum(r.index, infoHash, r.data));
        PutU32(header, static_cast<std::uint32_t>(r.index));
        PutU32(header, 0);
        if (!writer.Add(header, r.data)) {
            return false;
        }
    }
    return writer.Flush() && file.SyncData();
}

}  // namespace

std::uint32_t PieceCacheChecksum(std::int32_t index, const InfoHashBytes& infoHash,
                                 std::string_view data) noexcept {
    uLong sum = adler32(static_cast<uLong>(static_cast<std::uint32_t>(index)), infoHash.data(),
                        static_cast<uInt>(infoHash.size()));
    // The data of one record is far below 4 GiB (a piece plus its block offsets).
    sum = adler32(sum, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    return static_cast<std::uint32_t>(sum);
}

bool SavePieceCache(const std::string& path, const InfoHashBytes& infoHash,
                    const std::vector<PieceCacheRecord>& records) {
    if (path.empty()) {
        return false;
    }
    platform::File file;
    std::string temp;
    if (!file.CreateUnique(platform::AtomicTempPrefix(path), temp)) {
        return false;
    }
    bool ok = false;
    try {
        ok = WriteRecords(file, infoHash, records);
    } catch (...) {
        ok = false;
    }
    ok = file.Close() && ok;
    // The records were flushed before the rename: the cache under its name is whole.
    ok = ok && StorageAllow(StorageOp::kRename, temp, path) && platform::RenameFile(temp, path);
    if (ok) {
        StorageDone(StorageOp::kRename, temp, path);
        // Without this a power cut can bring the previous cache back long after the stop.
        (void)FlushFolderOf(path);
    } else {
        platform::RemoveFile(temp);
    }
    return ok;
}

std::int32_t LoadPieceCache(const std::string& path, const InfoHashBytes& infoHash,
                            std::int32_t pieceLength, std::int32_t pieceCount,
                            const std::function<bool(std::int32_t, std::string_view)>& restore) {
    platform::File file;
    if (path.empty() || pieceLength <= 0 || !file.Open(path, platform::OpenMode::ReadExisting)) {
        return 0;
    }
    const std::uint64_t maxLength = static_cast<std::uint64_t>(pieceLength) + kRecordSlack;
    std::uint64_t offset = 0;
    std::int32_t restored = 0;
    std::string data;
    for (;;) {
        unsigned char header[kHeaderSize];
        if (file.ReadAt(offset, header, kHeaderSize) != static_cast<std::int64_t>(kHeaderSize)) {
            break;
        }
        const std::uint32_t length = GetU32(header);
        const std::uint32_t checksum = GetU32(header + 4);
        const auto index = static_cast<std::int32_t>(GetU32(header + 8));
        if (length < 1 || length >= maxLength || index < 0 || index >= pieceCount) {
            break;
        }
        data.resize(length);
        if (file.ReadAt(offset + kHeaderSize, data.data(), length) !=
                static_cast<std::int64_t>(length) ||
            PieceCacheChecksum(index, infoHash, data) != checksum) {
            break;
        }
        offset += kHeaderSize + length;
        if (!restore(index, data)) {
            break;
        }
        ++restored;
    }
    return restored;
}

}  // namespace koruvan::engine
