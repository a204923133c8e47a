// What a piece map needs from the task that owns it: the events it reports, whether the
// task is stopping, progress during long checks, and the free-space query of the disk.
// The task implements it; tests implement it with a recorder.
#pragma once

#include <cstdint>
#include <string>

namespace koruvan::engine {

// Piece-map and storage events (OnPieceEvent).
inline constexpr std::int32_t kEventPieceState = 1;     // length: piece, flags: 1 have / 0 not
inline constexpr std::int32_t kEventBitfieldReset = 2;  // the whole bitfield changed
inline constexpr std::int32_t kEventPublish = 3;        // flags: the publish flag
inline constexpr std::int32_t kEventPieceCount = 100;   // length: the piece count
inline constexpr std::int32_t kEventFileList = 1000;    // data, length: a new "part" blob
inline constexpr std::int32_t kEventResume = 1001;      // data, length: a new "bits" blob
inline constexpr std::int32_t kEventDiskFull = 1002;
inline constexpr std::int32_t kEventDiskAvailable = 1003;
inline constexpr std::int32_t kEventOpenFailed = 1004;

class PieceHost {
  public:
    virtual void OnPieceEvent(std::int32_t type, std::uint32_t flags, std::int32_t length,
                              const void* data) = 0;
    // The task was asked to stop: waits give up.
    [[nodiscard]] virtual bool StopRequested() = 0;
    // Called now and then during long checks; refreshes the task's progress. True when the
    // task must stop.
    [[nodiscard]] virtual bool CheckStopAndRefresh() = 0;
    // Bytes available to the task on the file system holding `folder`.
    [[nodiscard]] virtual std::uint64_t FreeDiskBytes(const std::string& folder) = 0;

  protected:
    ~PieceHost() = default;
};

}  // namespace koruvan::engine
