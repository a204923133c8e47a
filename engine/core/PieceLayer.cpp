// Building the task's piece layer: from torrent metainfo, from a P2SP key template, or from
// the size a web source reported; the callbacks the torrent and the piece map make into the
// task; the end of a run; and the piece-related maintenance of the work thread.
#include <algorithm>
#include <cstdio>

#include "engine/core/KeyTemplate.h"
#include "engine/core/TPieces.h"
#include "engine/core/TWorkWithPieces.h"
#include "engine/core/base/EngineClock.h"
#include "engine/core/base/KoruvanLog.h"
#include "engine/core/base/LockGuard.h"
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/TTorrent.h"
#include "engine/peers/TorrentHost.h"
#include "platform/DiskSpace.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kTrackerPriority = 29;
constexpr std::uint32_t kAnnounceSeconds = 7;
constexpr std::string_view kTemplateFileName = "001.kvinfo";

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// The task as its torrent and its piece map see it.
class TWorkWithPieces::LayerHost final : public PieceHost, public TorrentHost {
  public:
    explicit LayerHost(TWorkWithPieces& task) : task_(task) {}

    void OnPieceEvent(std::int32_t type, std::uint32_t flags, std::int32_t length,
                      const void* data) override {
        task_.OnPieceEvent(type, flags, length, data);
    }
    bool StopRequested() override { return task_.IsRunning() && task_.QThread::StopRequested(); }
    bool CheckStopAndRefresh() override { return task_.CheckProgress(); }
    std::uint64_t FreeDiskBytes(const std::string& folder) override {
        return task_.FreeSpace(folder);
    }

    std::string TargetFolder() const override { return task_.TargetFolder(); }
    std::string TargetFile() const override { return task_.TargetFile(); }
    void SetPhase(int phase) override { task_.work_.phase = phase; }
    void OnSourceUnreadable() override {
        task_.work_.stateCode = kStateTorrentUnusable;
        task_.RequestStop(nullptr);
    }
    bool BuildLayout(const MetainfoLayout& layout, TRefObject* /*previousPieces*/) override {
        std::optional<InfoHashBytes> hash;
        if (task_.loading_ != nullptr) {
            hash = task_.loading_->InfoHashBytes();
        }
        return task_.TakeLayout(layout, hash, LayoutKind::kMetainfo);
    }
    bool LoadKeyText(const std::string& keyText) override { return task_.LoadTemplate(keyText); }

  private:
    TWorkWithPieces& task_;
};

TWorkWithPieces::TWorkWithPieces() : host_(std::make_unique<LayerHost>(*this)) {}

TWorkWithPieces::~TWorkWithPieces() {
    ReleasePieceMap();
    if (torrentObject_ != nullptr) {
        torrentObject_->Release();
    }
}

void TWorkWithPieces::SetFreeSpaceQuery(FreeSpaceQuery query) {
    freeSpace_ = std::move(query);
}

std::uint64_t TWorkWithPieces::FreeSpace(const std::string& folder) {
    if (freeSpace_) {
        return freeSpace_(folder);
    }
    if (!folder.empty() && folder.front() == '/') {
        return platform::FreeBytes(folder);
    }
    return platform::FreeBytes(platform::JoinPath(platform::CurrentFolder(), folder));
}

bool TWorkWithPieces::CheckProgress() {
    if (!IsRunning()) {
        Refresh();  // built outside a run: nothing can ask it to stop
        return false;
    }
    return CheckStopAndRefresh();
}

// ---- building ---------------------------------------------------------------------------

bool TWorkWithPieces::BuildPieceLayer() {
    auto* torrent = new TTorrent(*host_);
    torrent->SetMetainfoData(torrent_.data);
    torrent->SetSourceText(key_);
    loading_ = torrent;
    bool ok = false;
    try {
        ok = torrent->Load();
    } catch (...) {
        ok = false;
    }
    loading_ = nullptr;
    if (!ok) {
        torrent->Release();
        hasMetainfo_ = hasMetainfo_ && pieces_ != nullptr;
        return false;
    }
    if (torrentObject_ != nullptr) {
        torrentObject_->Release();
    }
    torrentObject_ = torrent;
    AdoptMetainfo(*torrent);
    hasMetainfo_ = true;
    return true;
}

bool TWorkWithPieces::LoadMetainfo() {
    if (IsHttpTask() || hasMetainfo_ || (torrent_.data.empty() && !IsKeyTemplate(key_))) {
        return hasMetainfo_;
    }
    return BuildPieceLayer();
}

void TWorkWithPieces::AdoptMetainfo(const TTorrent& torrent) {
    if (!torrent.InfoHashHex().empty()) {
        infoHash_ = torrent.InfoHashBytes();
        trackers_ = torrent.Trackers();
        work_.texts[1] = torrent.Comment();
        work_.texts[2] = torrent.Publisher();
        work_.texts[3] = torrent.PublisherUrl();
        work_.texts[4] = torrent.Announce();
        work_.texts[5] = torrent.CreationDate() != 0 ? std::to_string(torrent.CreationDate()) : "";
    }
    AddTrackerCandidates(trackers_);
    if (pieces_ != nullptr) {
        CopyCounters(*pieces_);
    }
    Publish(true, true);
}

void TWorkWithPieces::AddTrackerCandidates(const std::vector<std::string>& urls) {
    for (const std::string& url : urls) {
        if (url.empty()) {
            continue;
        }
        auto* identity = new TPeerId("tracker://" + url, kTrackerPriority);
        (void)identity->Parse();
        AddCandidate(identity, false, false);
        if (identity->fatal) {
            work_.stateCode = kStateSourceFatal;
            publishPending_ = true;
        }
        identity->Release();
    }
}

bool TWorkWithPieces::TakeLayout(const MetainfoLayout& layout,
                                 const std::optional<InfoHashBytes>& infoHash, LayoutKind kind) {
    // Transfer is planned in 16 KiB blocks over the whole file: a piece length that does not
    // cut into whole blocks cannot be scheduled. Refused at once, with the reason in the
    // log, rather than left waiting for requests that are never planned.
    if (kind == LayoutKind::kMetainfo &&
        (layout.pieceLength <= 0 || layout.pieceLength % kBlockSize != 0)) {
        char line[kEngineTextSize + 128];
        std::snprintf(line, sizeof line,
                      "Torrent unusable] [piece length %d is not a multiple of %d] [%s",
                      static_cast<int>(layout.pieceLength), static_cast<int>(kBlockSize),
                      TargetFile().c_str());
        WriteLog(line, 23, 23);
        work_.stateCode = kStateTorrentUnusable;
        publishPending_ = true;
        RequestStop(nullptr);
        return false;
    }
    // A map that already serves stays in place until its successor is ready; its files and
    // resume record are brought up to date first, so the successor starts from them.
    const std::int32_t oldLength = pieces_ != nullptr ? pieces_->PieceLength() : 0;
    if (pieces_ != nullptr) {
        pieces_->FlushAll();
        pieces_->CloseFiles(true, false);
    }
    PieceMapOptions options;
    options.trustExisting = options_.trustExistingFiles;
    options.keepPieceCache = !options_.metainfoOnly;
    options.pieceCachePath = options_.metainfoOnly ? std::string() : pieceCachePath_;
    options.resumeBlob = bits_.data;
    options.budgetUnits = options_.memoryBudgetUnits;
    if (kind == LayoutKind::kTemplate) {
        options.preallocate = true;
        options.budgetUnits = kTemplateBudgetUnits;
    }
    options.targetName = !targetFile_.empty()
                             ? targetFile_
                             : (layout.files.empty() ? std::string() : layout.files[0].fullPath);
    auto* map = new TPieces(*host_);
    building_ = map;
    bool ok = false;
    try {
        ok = map->Build(layout, infoHash, options);
    } catch (...) {
        ok = false;
    }
    building_ = nullptr;
    if (!ok) {
        map->Release();
        RebuildBitfieldCopy();
        return false;
    }
    ReleasePieceMap();
    pieces_ = map;
    infoHash_ = infoHash;
    work_.infoHashHex.clear();
    if (infoHash) {
        static constexpr char kHex[] = "0123456789abcdef";
        for (const std::uint8_t byte : *infoHash) {
            work_.infoHashHex += kHex[byte >> 4];
            work_.infoHashHex += kHex[byte & 0x0F];
        }
    }
    if (oldLength != 0 && oldLength != map->PieceLength()) {
        ranges_.Clear();  // the web sources' ranges are laid out again for the new pieces
    }
    requests_.Reset();
    frontier_ = -1;
    CopyCounters(*map);
    RebuildBitfieldCopy();
    RebuildPublishedFiles();
    return true;
}

bool TWorkWithPieces::LoadTemplate(const std::string& text) {
    const auto parsed = ParseKeyTemplate(text);
    if (!parsed) {
        return false;
    }
    MetainfoLayout layout;
    layout.pieceLength = parsed->pieceLength;
    layout.pieceCount = parsed->pieceCount;
    layout.totalSize = parsed->totalSize;
    MetainfoFile file;
    file.fullPath =
        !targetFile_.empty() ? targetFile_ : platform::JoinPath(targetFolder_, kTemplateFileName);
    file.relativeName = BaseName(file.fullPath);
    file.size = parsed->totalSize;
    layout.files.push_back(std::move(file));
    if (!TakeLayout(layout, parsed->infoHash, LayoutKind::kTemplate)) {
        return false;
    }
    trackers_.clear();
    if (!parsed->tracker.empty()) {
        trackers_.push_back(parsed->tracker);
    }
    return true;
}

bool TWorkWithPieces::SetUnhashedLayout(std::uint64_t totalSize, const std::string& fileName) {
    if (totalSize == 0) {
        return false;
    }
    if (pieces_ != nullptr && pieces_->TotalSize() == totalSize) {
        return true;
    }
    MetainfoLayout layout;
    layout.pieceLength = kUnhashedPieceLength;
    layout.pieceCount = (totalSize + kUnhashedPieceLength - 1) / kUnhashedPieceLength;
    layout.totalSize = totalSize;
    MetainfoFile file;
    file.fullPath =
        !targetFile_.empty() ? targetFile_ : platform::JoinPath(targetFolder_, fileName);
    file.relativeName = BaseName(file.fullPath);
    file.size = totalSize;
    if (file.relativeName.empty()) {
        return false;
    }
    layout.name = file.relativeName;
    layout.files.push_back(std::move(file));
    const bool ok = TakeLayout(layout, std::nullopt, LayoutKind::kUnhashed);
    if (ok) {
        Publish(true, true);
    }
    return ok;
}

bool TWorkWithPieces::OfferMetainfo(std::string_view document) {
    if (document.empty() || !torrent_.data.empty()) {
        return false;
    }
    const auto root = ParseBencode(document);
    if (!root || root->ValidType() != kElementDictionary) {
        return false;
    }
    SetTorrentBlob(std::string(document));
    newMetainfo_ = true;
    work_.phase = kPhaseRunning;
    return true;
}

// ---- end of a run -----------------------------------------------------------------------

void TWorkWithPieces::FlushAndCloseFiles(bool finishing) {
    if (pieces_ == nullptr) {
        return;
    }
    const std::int32_t phase = work_.phase;
    work_.phase = kPhaseFinishing;
    pieces_->FlushAll();
    pieces_->CloseFiles(true, finishing);
    CopyCounters(*pieces_);
    RebuildPublishedFiles();
    work_.phase = phase;
}

bool TWorkWithPieces::TargetsFinal() const noexcept {
    return pieces_ == nullptr || pieces_->Storage().AllFinal();
}

void TWorkWithPieces::ReleasePieceMap() {
    if (pieces_ != nullptr) {
        pieces_->Release();
        pieces_ = nullptr;
    }
}

void TWorkWithPieces::ResetPieces(bool dropContent) {
    newMetainfo_ = false;
    saveRequested_ = false;
    if (pieces_ != nullptr) {
        // What the map holds goes to disk, its cache and records to the state blobs; the
        // next run builds a fresh map from them.
        pieces_->SetClosing(true);
        if (!dropContent) {
            pieces_->FlushAll();
            (void)pieces_->SavePieceCacheFile();
        }
        pieces_->CloseFiles(!dropContent, false);
        CopyCounters(*pieces_);
        ReleasePieceMap();
    }
    ranges_.Clear();
    requests_.Reset();
    toAnnounce_.clear();
    frontier_ = -1;
    if (dropContent) {
        LockGuard guard(&ThreadLock(), true);
        torrent_ = {};
        seeds_ = {};
        bits_ = {};
        part_ = {};
        hasMetainfo_ = false;
        infoHash_.reset();
        trackers_.clear();
        publishedBitfield_.clear();
        publishedFiles_.clear();
    }
}

// ---- maintenance ------------------------------------------------------------------------

void TWorkWithPieces::FlushForSave() {
    if (pieces_ != nullptr) {
        pieces_->FlushAll();
        pieces_->SaveResume();
        pieces_->SaveFileList();
    }
}

void TWorkWithPieces::SynchronizePieces() {
    if (pieces_ != nullptr) {
        pieces_->Synchronize();
    }
}

void TWorkWithPieces::RequestPoolUpkeep() {
    if (pieces_ != nullptr) {
        requests_.Upkeep(*pieces_, pieces_->PieceLength());
    }
}

void TWorkWithPieces::PieceSecondTick() {
    if (pieces_ != nullptr) {
        requests_.DropCompleted(*pieces_);
    }
    AnnouncePieces();
}

void TWorkWithPieces::AnnouncePieces() {
    const std::uint32_t now = EngineSeconds();
    if (toAnnounce_.empty() || now - lastAnnounce_ <= kAnnounceSeconds) {
        return;
    }
    for (const std::string& batch : BuildHaveBatches(toAnnounce_)) {
        SendToBitTorrentPeers(batch);
    }
    toAnnounce_.clear();
    lastAnnounce_ = now;
}

// ---- what peers ask ---------------------------------------------------------------------

std::int32_t TWorkWithPieces::PutBlock(std::int32_t block, std::int32_t length,
                                       const std::uint8_t* data, TPeerId* supplier,
                                       bool& accepted) {
    accepted = false;
    if (pieces_ == nullptr) {
        return 0;
    }
    const std::int32_t result = pieces_->PutBlock(block, length, data, supplier, accepted);
    if (result == kPieceFailed) {
        // The piece starts over and none of its blocks is asked for anywhere: any peer may
        // take it now, not only in the end game.
        requests_.Reoffer(pieces_->PieceOfBlock(block));
    }
    return result;
}

void TWorkWithPieces::LayoutRanges(const std::vector<TPeerId*>& webSources) {
    if (pieces_ != nullptr) {
        ranges_.Layout(webSources, pieces_->PieceCount(), EngineTime());
    }
}

WorkRange* TWorkWithPieces::AssignRange(RangeWorker& peer) {
    if (pieces_ == nullptr) {
        return nullptr;
    }
    RangeContext context;
    context.pieceLength = pieces_->PieceLength();
    context.missingPieces = pieces_->PieceCount() - pieces_->PiecesDone();
    context.wanted = [map = pieces_](std::int32_t piece) { return map->Wanted(piece); };
    context.now = EngineTime();
    context.tick = TickCount();
    return ranges_.Assign(peer, context);
}

bool TWorkWithPieces::PickBlocks(std::vector<BlockRequest>& out,
                                 std::span<const std::uint8_t> peerBitfield, std::int32_t max,
                                 std::span<const std::int32_t> exclude) {
    return pieces_ != nullptr && requests_.PickBlocks(out, peerBitfield, max, exclude, *pieces_);
}

bool TWorkWithPieces::WantsPiece(std::int32_t piece) {
    return pieces_ != nullptr && requests_.WantsPiece(piece, *pieces_);
}

bool TWorkWithPieces::FewPiecesLeft() const noexcept {
    return pieces_ != nullptr && pieces_->PieceCount() > 0 &&
           pieces_->PieceCount() - pieces_->PiecesDone() <= 2;
}

bool TWorkWithPieces::MarkRequested(std::int32_t piece, bool add, bool cancel) {
    return pieces_ != nullptr && requests_.MarkRequested(piece, add, cancel, ConnectedPeerCount(),
                                                         QThread::StopRequested(), *pieces_);
}

std::int32_t TWorkWithPieces::RandomStartPiece() const {
    if (pieces_ == nullptr) {
        return 0;
    }
    return engine::RandomStartPiece(options_.randomStart, pieces_->PieceCount(),
                                    pieces_->PiecesDone(), TickCount());
}

}  // namespace koruvan::engine
