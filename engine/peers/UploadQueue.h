// The blocks a remote BitTorrent peer asked us for and that we have not sent yet, in the
// order they were asked. Standard clients pipeline as much as they expect to receive in the
// next seconds (one asks for ten seconds' worth: thousands of requests at loopback rates),
// so the queue is bounded by the memory it takes, not by a request count such clients
// exceed: a budget per peer and one shared by every queue of the engine. A request beyond
// either is refused with kFull, and the caller chokes the peer (which, by the protocol,
// discards the queue on both sides) instead of dropping the request unseen.
//
// Duplicate checks and cancels cost O(1): a cancelled request leaves its slot in the order
// behind (skipped when it comes up) and is only forgotten in the index of live requests.
//
// One queue belongs to one peer on its task's thread; the shared budget is an atomic byte
// count that the queues of every task update.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <unordered_map>

namespace koruvan::engine {

struct UploadRequest {
    std::uint32_t index = 0;
    std::uint32_t begin = 0;
    std::uint32_t length = 0;

    friend bool operator==(const UploadRequest&, const UploadRequest&) = default;
};

class UploadQueue {
  public:
    // What one queued request costs at most: its slot in the order and its index entry.
    static constexpr std::int64_t kEntryBytes = 64;
    // 2 MiB per peer: 32768 requests, half a gigabyte of blocks, many seconds of sending
    // even at loopback rates.
    static constexpr std::int64_t kPeerBytes = 2 * 1024 * 1024;
    // Every queue of the engine together.
    static constexpr std::int64_t kSharedBytes = 16 * 1024 * 1024;

    enum class Added { kQueued, kDuplicate, kFull };

    // `shared`: the engine-wide byte count (must outlive the queue).
    explicit UploadQueue(std::atomic<std::int64_t>& shared, std::int64_t peerBytes = kPeerBytes,
                         std::int64_t sharedBytes = kSharedBytes) noexcept
        : shared_(&shared), peerLimit_(peerBytes), sharedLimit_(sharedBytes) {}
    ~UploadQueue() { Clear(); }
    UploadQueue(const UploadQueue&) = delete;
    UploadQueue& operator=(const UploadQueue&) = delete;

    Added Add(const UploadRequest& request);
    // Forgets the matching request (a cancel); false when none is queued.
    bool Cancel(const UploadRequest& request);
    // The oldest live request; the queue must not be empty.
    [[nodiscard]] const UploadRequest& Front();
    // Removes the oldest live request (it was served).
    void PopFront();
    // Forgets every request of a piece (it cannot be read here).
    void DropPiece(std::uint32_t index);
    void Clear() noexcept;

    [[nodiscard]] bool Empty() const noexcept { return live_.empty(); }
    [[nodiscard]] std::size_t Size() const noexcept { return live_.size(); }
    // The memory the queue accounts for (live and cancelled slots).
    [[nodiscard]] std::int64_t Bytes() const noexcept {
        return static_cast<std::int64_t>(order_.size()) * kEntryBytes;
    }

  private:
    struct Slot {
        UploadRequest request;
        std::uint64_t serial;
    };
    struct Hash {
        std::size_t operator()(const UploadRequest& r) const noexcept {
            return std::hash<std::uint64_t>{}((std::uint64_t{r.index} << 32) ^
                                              (std::uint64_t{r.begin} << 8) ^ r.length);
        }
    };

    // Drops cancelled slots from the front of the order.
    void SkipCancelled() noexcept;
    void PopSlot() noexcept;

    std::deque<Slot> order_;
    std::unordered_map<UploadRequest, std::uint64_t, Hash> live_;  // request -> its slot's serial
    std::uint64_t nextSerial_ = 0;
    std::atomic<std::int64_t>* shared_;
    std::int64_t peerLimit_;
    std::int64_t sharedLimit_;
};

}  // namespace koruvan::engine
