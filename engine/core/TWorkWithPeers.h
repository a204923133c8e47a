// Second task layer: who the task talks to. Source entries from the descriptor, the two
// extra source lists, the candidate identities in candidate order, and the per-task
// connection limits.
//
// Locking: source entries and candidates belong to the task thread. The extra lists, the
// connection limits and the tracker text are also written by the controller's threads and
// are guarded by the thread lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/TBaseWork.h"
#include "engine/peers/TPeerId.h"

namespace koruvan::engine {

// Source entry states.
constexpr std::int32_t kSourceNew = 0;
constexpr std::int32_t kSourceMetainfoPending = 1;
constexpr std::int32_t kSourceAdded = 16;
constexpr std::int32_t kSourceMetainfoAdded = 17;

struct SourceEntry {
    std::string text;
    std::int32_t state = kSourceNew;
};

// Splits a source list: lines end with CR, LF or CR LF; an empty last line is dropped; each
// line is trimmed of bytes 1..32 at both ends.
std::vector<std::string> SplitSourceLines(const char* text);

class TWorkWithPeers : public TBaseWork {
  public:
    TWorkWithPeers() = default;
    ~TWorkWithPeers() override;

    // Descriptor sources (before the first start).
    void SetSourceEntries(const std::vector<std::string>& lines);
    const std::vector<SourceEntry>& SourceEntries() const noexcept { return sources_; }
    void MarkFirstSourceAsMetainfo();

    // Extra lists A and B (engine call interface; any thread).
    void SetSourceLists(const char* listA, const char* listB);
    void ClearSourceLists();
    bool HasExtraLists();

    virtual std::int32_t SetConnectionLimits(std::int32_t maxWebSources, std::int32_t maxPeers);
    virtual std::int32_t AddTrackerText(const char* text);
    std::int32_t MaxWebConnections();
    std::int32_t MaxBtPeers();
    std::string TrackerText();

    // Candidates (task thread).
    bool AddCandidate(TPeerId* identity, bool fromList, bool updatePeerId);
    void BackOff(const TPeerId* identity, std::int32_t wait);
    void RemoveCandidate(const TPeerId* identity);
    const std::vector<TPeerId*>& Candidates() const noexcept { return candidates_; }
    void SortCandidates();

    // Every 15 seconds of task clock: sources become candidates; candidates whose text no
    // longer parses are dropped.
    void SourceMaintenance();
    // At the end of a run: entries go back to their resting states.
    void ReleaseSourceEntries(bool hasTorrentBlob);

    // Connection upkeep of the per-second maintenance.
    void ConnectionUpkeep();

  protected:
    void ResetPeers();
    void ReleaseCandidates();

    std::vector<SourceEntry> sources_;
    std::vector<TPeerId*> candidates_;

    // Guarded by the thread lock.
    std::vector<std::string> extraA_;
    std::vector<std::string> extraB_;
    bool extraPresent_ = false;
    bool extraTried_ = false;
    std::int32_t maxWebConnections_ = 49;
    std::int32_t maxBtPeers_ = 0;
    std::string trackerText_;
};

}  // namespace koruvan::engine
