// Power cuts over a download and a repair: every storage operation of the scenario is a
// possible cut point; at 50 of them, spread evenly, the power goes, the disk keeps only
// what was flushed, and a restart from the durable state file must finish with every file
// exactly right. This holds only when data is flushed before the record that counts it and
// no rename overtakes its data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>

#include "PieceTestSupport.h"
#include "PowerCutJournal.h"
#include "engine/core/TPieces.h"
#include "platform/Paths.h"
#include "support/EngineTestClock.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

constexpr std::int32_t kPieceLength = 256 * 1024;
// Five files, the first and last pieces shared between files, one file inside one piece.
constexpr std::uint64_t kSizes[] = {700 * 1024 + 11, 1024 * 1024 + 5000, 90 * 1024, 300 * 1024,
                                    1536 * 1024 + 7};

// The task around a piece map: its state file ("bits" blob) is saved atomically at the
// points the task saves it; after the cut nothing is saved any more.
class StateHost final : public PieceHost {
  public:
    explicit StateHost(test::PowerCutJournal& journal) : journal_(journal) {}
    void OnPieceEvent(std::int32_t type, std::uint32_t, std::int32_t length,
                      const void* data) override {
        if (type == kEventResume && length > 0) {  // an empty event only opens a save
            bits_.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
        }
    }
    bool StopRequested() override { return false; }
    bool CheckStopAndRefresh() override { return false; }
    std::uint64_t FreeDiskBytes(const std::string&) override { return 1ull << 40; }

    void SaveStateFile(std::string& stateFile) const {
        if (!journal_.Dead()) {
            stateFile = bits_;
        }
    }
    void Start(const std::string& stateFile) { bits_ = stateFile; }

  private:
    test::PowerCutJournal& journal_;
    std::string bits_;
};

class PowerCutTest : public ::testing::Test {
  protected:
    PowerCutTest() : content_(test::MakeContent(Total(), 7)) {
        layout_.name = "game";
        layout_.multiFile = true;
        layout_.targetFolder = dir_.Path() + "/";
        layout_.pieceLength = kPieceLength;
        layout_.totalSize = content_.size();
        layout_.pieceCount = (content_.size() + kPieceLength - 1) / kPieceLength;
        layout_.pieceHashes = test::PieceHashes(content_, kPieceLength);
        std::uint64_t offset = 0;
        for (std::size_t i = 0; i < std::size(kSizes); ++i) {
            MetainfoFile f;
            f.relativeName = "data047.00" + std::to_string(i) + ".cab";
            f.fullPath = dir_.File(f.relativeName);
            f.size = kSizes[i];
            f.index = static_cast<std::int32_t>(i);
            f.offset = offset;
            offset += kSizes[i];
            layout_.files.push_back(f);
        }
        infoHash_.emplace();
        infoHash_->fill(0x5A);
    }

    static std::uint64_t Total() {
        std::uint64_t total = 0;
        for (const std::uint64_t s : kSizes) {
            total += s;
        }
        return total;
    }
    std::int32_t BlockCount() const {
        return static_cast<std::int32_t>((content_.size() + kBlockSize - 1) / kBlockSize);
    }

    struct Outcome {
        bool cut = false;
        std::int32_t blocksTaken = 0;  // blocks the run stored (fetched data)
    };

    // One run of the task: builds the map from the state file and delivers `blocks` in
    // order, with the task's periodic work (early writes every 4 blocks, a flush and state
    // save every 16); then an orderly stop, or the finishing close when complete. Stops
    // early when the power is gone.
    Outcome Run(test::PowerCutJournal& journal, const std::vector<std::int32_t>& blocks,
                bool stopBeforeDone, bool acceptResume = true) {
        Outcome outcome;
        StateHost host(journal);
        host.Start(stateFile_);
        auto map = test::NewPieces(host);
        PieceMapOptions options;
        // The piece cache lives in the data folder, apart from the targets.
        std::filesystem::create_directories(dir_.File("data"));
        options.pieceCachePath = dir_.File("data/task.kvinfodf");
        options.resumeBlob = stateFile_;
        options.acceptResume = acceptResume;
        if (!map->Build(layout_, infoHash_, options) || journal.Dead()) {
            outcome.cut = journal.Dead();
            return outcome;
        }
        std::int32_t n = 0;
        for (const std::int32_t block : blocks) {
            if (map->AllDone() || journal.Dead()) {
                break;
            }
            if (map->HasBlock(block)) {
                continue;  // held, written or restored: a source is not asked for it
            }
            bool accepted = false;
            (void)test::Deliver(*map, content_, block, nullptr, &accepted);
            outcome.blocksTaken += accepted ? 1 : 0;
            if (++n % 4 == 0) {
                map->Synchronize();
            }
            if (n % 16 == 0) {
                map->FlushAll();
                map->SaveResume();
                map->SaveFileList();
                host.SaveStateFile(stateFile_);
            }
        }
        if (!journal.Dead()) {
            const bool finishing = map->AllDone() && !stopBeforeDone;
            map->SetClosing(true);
            map->FlushAll();
            if (!finishing) {
                (void)map->SavePieceCacheFile();
            }
            map->CloseFiles(true, finishing);
            host.SaveStateFile(stateFile_);
        }
        outcome.cut = journal.Dead();
        return outcome;
    }

    std::vector<std::int32_t> Shuffled(std::uint32_t seed) const {
        std::vector<std::int32_t> blocks(static_cast<std::size_t>(BlockCount()));
        for (std::int32_t b = 0; b < BlockCount(); ++b) {
            blocks[static_cast<std::size_t>(b)] = b;
        }
        std::mt19937 random(seed);
        std::shuffle(blocks.begin(), blocks.end(), random);
        return blocks;
    }

    // Three pieces of the finished files damaged in place (the controller's digest check
    // finds them and drops the record); the repair run rechecks and refetches.
    void Damage() {
        for (const std::uint64_t at :
             {std::uint64_t{100 * 1024}, std::uint64_t{1900 * 1024}, Total() - 1000}) {
            std::uint64_t offset = at;
            for (const MetainfoFile& f : layout_.files) {
                if (offset < f.size) {
                    std::string bytes = test::ReadFile(f.fullPath);
                    ASSERT_EQ(bytes.size(), f.size);
                    bytes[offset] = static_cast<char>(bytes[offset] ^ 0x40);
                    test::WriteFile(f.fullPath, bytes);
                    break;
                }
                offset -= f.size;
            }
        }
        stateFile_.clear();
    }

    // The scenario with a cut at operation `cutAt` (0: none), then restarts until done.
    // Returns the operations of the scenario when uncut, else the blocks refetched.
    struct Result {
        std::uint64_t operations = 0;
        bool cutInRepair = false;
        std::int32_t refetched = 0;  // blocks the restarts took that were taken before
        std::int32_t missingAtCut = 0;
    };
    Result Scenario(std::uint64_t cutAt) {
        Reset();
        Result result;
        test::PowerCutJournal journal(cutAt);
        const auto order = Shuffled(42);
        const std::size_t half = order.size() * 2 / 5;
        std::int32_t taken = 0;
        Outcome o = Run(journal, {order.begin(), order.begin() + half}, true);
        taken += o.blocksTaken;
        if (!o.cut) {
            o = Run(journal, order, false);
            taken += o.blocksTaken;
        }
        bool repair = false;
        if (!o.cut) {
            EXPECT_TRUE(FilesCorrect()) << "the uncut download";
            Damage();
            repair = true;
            o = Run(journal, Shuffled(7), false, false);
        }
        result.operations = journal.Operations();
        if (!o.cut) {
            return result;
        }
        result.cutInRepair = repair;
        journal.Apply();
        // Restart after the cut (the journal no longer cuts): finish from the state file.
        test::PowerCutJournal after;
        const Outcome finish = Run(after, Shuffled(99), false);
        EXPECT_FALSE(finish.cut);
        result.refetched = repair ? 0 : std::max(0, taken + finish.blocksTaken - BlockCount());
        return result;
    }

    bool FilesCorrect() const {
        for (const MetainfoFile& f : layout_.files) {
            if (!platform::FileExists(f.fullPath) ||
                platform::FileExists(f.fullPath + std::string(kTemporarySuffix)) ||
                test::ReadFile(f.fullPath) != content_.substr(f.offset, f.size)) {
                return false;
            }
        }
        return true;
    }

    void Reset() {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path())) {
            std::filesystem::remove_all(entry.path());
        }
        stateFile_.clear();
    }

    test::TempDir dir_;
    test::EngineTestClock clock_{1000.0};
    std::string content_;
    MetainfoLayout layout_;
    std::optional<InfoHashBytes> infoHash_;
    std::string stateFile_;  // the durable "bits" blob of the state file
};

TEST_F(PowerCutTest, FiftyCutsOverADownloadAndARepairAllFinishCorrect) {
    const std::uint64_t total = Scenario(0).operations;
    ASSERT_TRUE(FilesCorrect());
    ASSERT_GT(total, 100u);
    int correct = 0;
    int inRepair = 0;
    std::int64_t refetchedBytes = 0;
    for (int k = 0; k < 50; ++k) {
        const std::uint64_t cutAt = 1 + (total - 1) * static_cast<std::uint64_t>(k) / 49;
        const Result r = Scenario(cutAt);
        const bool ok = FilesCorrect();
        EXPECT_TRUE(ok) << "power cut at operation " << cutAt << " of " << total;
        correct += ok ? 1 : 0;
        inRepair += r.cutInRepair ? 1 : 0;
        refetchedBytes += static_cast<std::int64_t>(r.refetched) * kBlockSize;
    }
    std::printf(
        "power cuts: %d of 50 finished correct (%d during the repair) over %llu storage "
        "operations; %lld bytes fetched again after the cuts\n",
        correct, inRepair, static_cast<unsigned long long>(total),
        static_cast<long long>(refetchedBytes));
    EXPECT_GT(inRepair, 5);
}

TEST_F(PowerCutTest, NewTargetFilesKeepTheirNamesOnceARecordCountsTheirData) {
    std::vector<std::int32_t> inOrder(static_cast<std::size_t>(BlockCount()));
    std::iota(inOrder.begin(), inOrder.end(), 0);
    test::PowerCutJournal journal;
    const Outcome first = Run(journal, {inOrder.begin(), inOrder.begin() + 48}, true);
    ASSERT_FALSE(first.cut);
    journal.CutAt(journal.Operations() + 1);
    EXPECT_TRUE(Run(journal, inOrder, false).cut);
    journal.Apply();
    test::PowerCutJournal after;
    const Outcome rest = Run(after, inOrder, false);
    EXPECT_EQ(first.blocksTaken + rest.blocksTaken, BlockCount()) << "nothing fetched twice";
    EXPECT_TRUE(FilesCorrect());
}

TEST_F(PowerCutTest, APieceCacheSavedAtAStopSurvivesALaterPowerCut) {
    const auto order = Shuffled(42);
    const std::size_t part = order.size() / 3;
    test::PowerCutJournal journal;
    const Outcome first = Run(journal, {order.begin(), order.begin() + part}, true);
    ASSERT_FALSE(first.cut);
    journal.CutAt(journal.Operations() + 1);  // the next start loses power at once
    EXPECT_TRUE(Run(journal, order, false).cut);
    journal.Apply();
    test::PowerCutJournal after;
    const Outcome rest = Run(after, order, false);
    EXPECT_EQ(first.blocksTaken + rest.blocksTaken, BlockCount()) << "nothing fetched twice";
    EXPECT_TRUE(FilesCorrect());
}

}  // namespace
}  // namespace koruvan::engine
