// A task's information record. The task thread writes its working copy freely; Publish
// copies it under the task's thread lock to the published copy that every query reads.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/core/TaskRecords.h"

namespace koruvan::engine {

struct TaskInfo {
    std::int32_t phase = kPhaseIdle;
    std::int32_t stateCode = 0;
    std::string displayName;
    // Metainfo texts: name, comment, publisher, publisher URL, announce, creation date text.
    std::array<std::string, 6> texts;
    std::string infoHashHex;  // 40 lower-case hexadecimal characters once known

    std::uint64_t totalSize = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesNeeded = 0;
    std::uint64_t bytesOnDisk = 0;

    std::int32_t pieceCount = 0;
    std::int32_t piecesDone = 0;
    std::int32_t piecesPending = 0;
    std::int32_t pieceLength = 0;

    std::uint64_t totalUploaded = 0;
    std::uint64_t totalDownloaded = 0;
    std::uint64_t httpPayload = 0;
    std::uint64_t peerPayload = 0;
    std::int32_t averageUploadRate = 0;
    // The swarm: BitTorrent peers with an established connection, the upload payload rate
    // (bytes per second, smoothed) and the payload bytes served to peers in this run.
    std::int32_t connectedPeers = 0;
    std::int32_t uploadRate = 0;
    std::uint64_t uploadedPayload = 0;
    std::int32_t averageDownloadRate = 0;
    std::int32_t currentRate = 0;  // the smoothed payload rate
    std::int32_t remainingTime = 0;
    // The last tracker answer: its announce interval in seconds (0 until one answered),
    // the seeds and the completed downloads it counted.
    std::int32_t announceInterval = 0;
    std::int32_t trackerSeeds = 0;
    std::int32_t trackerCompleted = 0;

    // Why nothing arrives, when a source failed and no payload came since: the last
    // source's failure as the user can act on it ("HTTP 403 from 127.0.0.1:8080").
    std::string sourceProblem;

    bool lastFlag = true;
    // All pieces are written and the targets carry their final names. Until then the task
    // never reports itself complete, so nobody records a file that is still being closed.
    bool targetsFinal = false;

    bool AllPiecesDone() const noexcept { return pieceCount > 0 && piecesDone >= pieceCount; }
};

}  // namespace koruvan::engine
