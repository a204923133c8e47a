// The fixed-size records of the engine's flat call interface. Their layout is a contract
// with the download controller: field order and sizes must not change.
#pragma once

#include <cstddef>
#include <cstdint>

namespace koruvan::engine {

// Opaque task handle. Its value is a task number that is never reused in the process, so a
// handle of a deleted task can never name a newer one.
struct TaskHandleTag;
using TaskHandle = TaskHandleTag*;

constexpr std::size_t kEngineTextSize = 4096;

// Descriptor flag bits.
constexpr std::uint32_t kFlagFullPath = 0x2;        // target path is a full file name
constexpr std::uint32_t kFlagTrustExisting = 0x20;  // trust complete files on disk
constexpr std::uint32_t kFlagBtTask = 0x10000;      // first source line is the key
constexpr std::uint32_t kFlagRecorded = 0x100000;   // recorded by CreateTask only
constexpr std::uint32_t kFlagP2spTask = 0x1000000;  // key is the P2SP key field

struct TaskDescriptor {
    std::uint32_t callerWord;             // the caller's own; never read by the engine
    char p2spKey[kEngineTextSize];        // read only with kFlagP2spTask
    const char* sourceList;               // one URL per line (CR, LF or CR LF)
    char targetPath[kEngineTextSize];     // full file name with kFlagFullPath, else folder
    char stateFilePath[kEngineTextSize];  // the task's state file; + "df" is its piece cache
    std::uint32_t flags;
    TaskHandle handle;  // written on success
};

// What the caller knows before a task starts (the two start calls that take it): the
// file's size (0: unknown) and the task's download limit in KiB/s from its first second
// (0: none).
struct TaskStartOptions {
    std::uint64_t expectedSize = 0;
    std::int32_t downloadLimitKiB = 0;
};

struct TaskProgress {
    char name[kEngineTextSize];
    std::int32_t progress;  // bytes done × 10000 / total, 0 while the total is unknown
    std::int32_t stateCode;
    std::int32_t currentRate;    // bytes per second
    std::int32_t remainingTime;  // seconds
    std::uint32_t totalSizeKiB;
    std::uint64_t httpBytes;
    std::uint64_t peerBytes;
    std::uint64_t bytesDone;
};
static_assert(sizeof(TaskProgress) == 4144, "the controller passes a 4144-byte record");
static_assert(offsetof(TaskProgress, httpBytes) == 4120);

// The swarm side of a task (QueryTaskSwarm): BitTorrent peers connected now, the upload
// payload rate in bytes per second, payload bytes served to peers in this run, and the
// port the engine's P2P listener runs on (0 while it does not run).
struct TaskSwarm {
    std::int32_t connectedPeers;
    std::int32_t uploadRate;
    std::uint64_t uploadedBytes;
    std::int32_t listenPort;
};

// The metainfo record of a task (QueryMetainfo), zeroed before it is filled.
struct TaskMetainfo {
    std::uint32_t totalSizeLow;  // the low 32 bits of the total size
    std::int32_t pieceLength;
    char infoHash[41];  // 40 hexadecimal characters and a zero byte
    char announce[kEngineTextSize];
};

// Status codes of the call interface.
constexpr std::int32_t kOk = 0;
constexpr std::int32_t kBitfieldError = -1;
constexpr std::int32_t kErrNullDescriptor = -101;  // also: unknown speed-limit selector
constexpr std::int32_t kErrSocketLibrary = -102;
constexpr std::int32_t kErrDuplicateTask = -105;
constexpr std::int32_t kErrUnknownHandle = -106;
constexpr std::int32_t kErrTaskFailed = -107;
constexpr std::int32_t kErrAllocation = -109;

// Published task state codes.
constexpr std::int32_t kStateComplete = 20206;
constexpr std::int32_t kStateSizeTimeout = 20209;
constexpr std::int32_t kStateDiskFull = 20210;
constexpr std::int32_t kStateTorrentUnusable = 20211;
constexpr std::int32_t kStateGaveUp = 20214;
constexpr std::int32_t kStateWriteFailed = 20215;
constexpr std::int32_t kStateSourceFatal = 20216;

// Task phases.
constexpr std::int32_t kPhaseIdle = 1;
constexpr std::int32_t kPhaseFinishing = 3;
constexpr std::int32_t kPhaseRunning = 4;

// Speed-limit selectors of SetTaskSpeedLimit.
constexpr std::int32_t kLimitUpload = 0;
constexpr std::int32_t kLimitDownload = 1;

}  // namespace koruvan::engine
