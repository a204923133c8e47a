// The piece layer inside a task: torrents building layouts, resume data across task objects
// and runs, what QueryTask and GetTaskBitfield publish, the state file, a full disk, and
// reads of target data through the task thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include <atomic>
#include <chrono>
#include <thread>

#include "EngineTestSupport.h"
#include "PieceTestSupport.h"
#include "engine/core/TPieces.h"
#include "engine/core/TWorkThread.h"
#include "engine/peers/SourceUrl.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::engine {
namespace {

using test::MakeContent;

constexpr std::uint32_t kP2spFlags = kFlagRecorded | kFlagFullPath | kFlagP2spTask;
constexpr std::int32_t kPiece = 256 * 1024;  // 16 blocks

class TaskPiecesTest : public test::EngineTest {
  protected:
    void SetUp() override {
        test::EngineTest::SetUp();
        content_ = MakeContent(6 * kPiece, 31);
        torrent_ = test::MakeTorrent("Game Client Volume 1", kPiece, content_);
        test::WriteFile(dir_.File("game.torrent"), torrent_);
    }

    // A task object configured as the controller configures one, driven without its thread.
    std::unique_ptr<TWorkThread> NewTask() {
        auto task = std::make_unique<TWorkThread>();
        task->SetFlags(kP2spFlags);
        task->SetTargetFile(target_);
        task->SetStateFilePath(state_);
        task->SetKey("file://" + dir_.File("game.torrent"));
        return task;
    }

    void DeliverBlocks(TWorkThread& task, std::int32_t from, std::int32_t to,
                       std::int32_t kind = kKindHttp) {
        for (std::int32_t b = from; b < to; ++b) {
            bool accepted = false;
            task.AcceptBlock(b, kBlockSize,
                             reinterpret_cast<const std::uint8_t*>(content_.data()) +
                                 static_cast<std::size_t>(b) * kBlockSize,
                             nullptr, kind, accepted);
            EXPECT_TRUE(accepted) << "block " << b;
        }
    }

    TaskProgress Progress(TaskHandle handle) {
        TaskProgress p{};
        EXPECT_EQ(QueryTask(handle, &p), 0);
        return p;
    }

    std::string content_;
    std::string torrent_;
    std::string target_ = dir_.File("game.cab");
    std::string state_ = dir_.File("game.cab.kvinfo");
};

TEST_F(TaskPiecesTest, ATorrentTaskResumesAcrossTaskObjectsAndPublishesItsProgress) {
    {
        auto first = NewTask();
        first->SetTorrentBlob(torrent_);
        ASSERT_TRUE(first->LoadMetainfo());
        ASSERT_NE(first->Pieces(), nullptr);
        EXPECT_EQ(first->Pieces()->PieceCount(), 6);
        DeliverBlocks(*first, 0, 16);   // piece 0
        DeliverBlocks(*first, 32, 48);  // piece 2
        DeliverBlocks(*first, 48, 58);  // piece 3: 128 KiB written, 2 blocks held
        first->Reset(false, false);     // the end of a run
        ASSERT_TRUE(first->SaveStateFile(state_));
    }
    EXPECT_TRUE(platform::FileExists(target_ + ".kvtmp"));
    EXPECT_TRUE(platform::FileExists(state_ + "df"));

    // The controller recovers the task after a restart; the engine publishes what it has.
    auto d = test::MakeDescriptor(kP2spFlags, target_, state_, "",
                                  "file://" + dir_.File("game.torrent"));
    ASSERT_EQ(RecoverAndContinueTask(d.get(), false), 0);
    TaskProgress p{};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && p.totalSizeKiB == 0) {
        p = Progress(d->handle);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(p.totalSizeKiB, 6u * kPiece / 1024);
    EXPECT_EQ(p.bytesDone, 2u * kPiece);
    EXPECT_EQ(p.progress, 3333);
    EXPECT_STREQ(p.name, "Game Client Volume 1");
    EXPECT_EQ(GetTaskBitfieldSize(d->handle), 1);
    std::uint8_t bits[4] = {};
    EXPECT_EQ(GetTaskBitfield(d->handle, bits, sizeof bits), 6);
    EXPECT_EQ(bits[0], 0xA0);
    char text[kEngineTextSize];
    EXPECT_EQ(StopTask(d->handle, false), 0);

    // And continues in yet another object: the half piece completes and verifies from its
    // stored hash state, without reading back what was written.
    auto third = NewTask();
    ASSERT_TRUE(third->LoadStateFile(state_));
    ASSERT_TRUE(third->LoadMetainfo());
    TPieces& map = *third->Pieces();
    EXPECT_EQ(map.PiecesDone(), 2);
    EXPECT_EQ(map.At(3)->HashedBytes(), kFlushMinimum);
    EXPECT_EQ(map.At(3)->BufferedBytes(), 2 * kBlockSize);
    DeliverBlocks(*third, 58, 64);
    map.FlushAll();
    EXPECT_TRUE(map.Have(3));
    EXPECT_EQ(map.Storage().BytesRead(), 0u);
    EXPECT_EQ(third->GetFileText(0, 3, text), 0);
    EXPECT_EQ(std::string(text), target_);
    EXPECT_EQ(third->GetFileSize(0), static_cast<std::int64_t>(content_.size()));

    // Payload is counted by the kind of source that delivered it.
    third->Publish(true, true);
    TaskProgress mine{};
    ASSERT_EQ(third->QueryProgress(&mine), 0);
    EXPECT_EQ(mine.httpBytes, 6u * kBlockSize);
    EXPECT_EQ(mine.peerBytes, 0u);
}

TEST_F(TaskPiecesTest, ACompletedTaskRenamesItsTargetAndForgetsItsState) {
    auto task = NewTask();
    task->SetTorrentBlob(torrent_);
    ASSERT_TRUE(task->LoadMetainfo());
    DeliverBlocks(*task, 0, 96);
    EXPECT_TRUE(task->Pieces()->AllDone());
    task->Reset(false, false);
    // Not renamed by a plain stop; the run's completion check does that.
    EXPECT_TRUE(platform::FileExists(target_ + ".kvtmp"));

    auto d = test::MakeDescriptor(kP2spFlags, target_, state_, "",
                                  "file://" + dir_.File("game.torrent"));
    ASSERT_TRUE(task->SaveStateFile(state_));
    task.reset();
    ASSERT_EQ(RecoverAndContinueTask(d.get(), false), 0);
    std::int32_t done = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end &&
           !(done == 1 && platform::FileExists(target_) && !platform::FileExists(state_))) {
        ASSERT_EQ(IsTaskComplete(d->handle, &done), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(done, 1);
    EXPECT_EQ(test::ReadFile(target_), content_);
    EXPECT_FALSE(platform::FileExists(target_ + ".kvtmp"));
    EXPECT_FALSE(platform::FileExists(state_ + "df"));
    EXPECT_EQ(Progress(d->handle).stateCode, kStateComplete);
}

TEST_F(TaskPiecesTest, RestartDiscardsTheTargetTheStateFileAndThePieceCache) {
    {
        auto task = NewTask();
        task->SetTorrentBlob(torrent_);
        ASSERT_TRUE(task->LoadMetainfo());
        DeliverBlocks(*task, 0, 20);  // piece 0 and a held part of piece 1
        task->Reset(false, false);
        ASSERT_TRUE(task->SaveStateFile(state_));
    }
    ASSERT_TRUE(platform::FileExists(state_ + "df"));
    auto task = NewTask();
    ASSERT_EQ(task->ContinueDownload(), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end && task->GetFileCount() == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(task->RestartDownload(), 0);
    EXPECT_FALSE(platform::FileExists(target_ + ".kvtmp"));
    EXPECT_FALSE(platform::FileExists(state_ + "df"));
    EXPECT_EQ(task->StopDownload(), 0);
}

TEST_F(TaskPiecesTest, AFullDiskShows20210WaitsAndContinuesWhenSpaceIsBack) {
    const std::string key = "x$Hash$" + std::string(40, 'a') + "$Size$" +
                            std::to_string(10 * 1024 * 1024) + "$Length$" + std::to_string(kPiece) +
                            "$Tracker$udp$$$t.koruvan.example:80$End$";
    auto task = NewTask();
    task->SetKey(key);
    std::atomic<std::uint64_t> free{1024 * 1024};
    std::atomic<int> queries{0};
    task->SetFreeSpaceQuery([&](const std::string&) {
        ++queries;
        return free.load();
    });
    ASSERT_TRUE(task->LoadMetainfo());
    ASSERT_EQ(task->MetainfoTrackers(), std::vector<std::string>{"udp://t.koruvan.example:80"});
    EXPECT_EQ(task->Pieces()->TotalSize(), 10u * 1024 * 1024);

    // The template preallocates the whole 10 MiB file at the first write; 1 MiB is free.
    std::thread writer([&] {
        DeliverBlocks(*task, 0, 16);
        task->Pieces()->FlushAll();
    });
    const auto waitFor = [&](auto condition) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < end && !condition()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    };
    ASSERT_TRUE(waitFor([&] { return task->PublishedInfo().stateCode == kStateDiskFull; }));
    const int seen = queries.load();
    EXPECT_TRUE(waitFor([&] { return queries.load() > seen + 2; }));  // keeps looking
    EXPECT_EQ(task->PublishedInfo().stateCode, kStateDiskFull);
    free = 64ull * 1024 * 1024;
    writer.join();
    EXPECT_EQ(task->PublishedInfo().stateCode, 0);
    EXPECT_TRUE(task->Pieces()->Have(0));
    EXPECT_EQ(platform::FileSize(target_ + ".kvtmp"), 10u * 1024 * 1024);
}

TEST_F(TaskPiecesTest, AWaitForSpaceGivesUpWhenTheTaskStops) {
    test::RecordingHost host;
    host.freeBytes = 0;
    auto map = test::NewPieces(host);
    PieceMapOptions options;
    options.preallocate = true;
    ASSERT_TRUE(map->Build(test::MakeLayout(target_, kPiece, content_), std::nullopt, options));
    std::thread writer([&] {
        for (std::int32_t b = 0; b < 16; ++b) {
            test::Deliver(*map, content_, b);
        }
        map->FlushAll();
    });
    while (host.Count(kEventDiskFull) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    host.stop = true;
    writer.join();
    EXPECT_EQ(host.Count(kEventDiskFull), 1);
    EXPECT_EQ(host.Count(kEventDiskAvailable), 0);
    EXPECT_FALSE(map->Have(0));
    EXPECT_TRUE(map->Wanted(0));  // fetched again later
}

TEST_F(TaskPiecesTest, AnOpenFailureStopsTheTaskWith20215) {
    auto task = NewTask();
    task->OnPieceEvent(kEventOpenFailed, 0, 0, nullptr);
    EXPECT_EQ(task->PublishedInfo().stateCode, kStateWriteFailed);
    task->OnPieceEvent(kEventDiskAvailable, 0, 0, nullptr);  // clears only the disk mark
    EXPECT_EQ(task->PublishedInfo().stateCode, kStateWriteFailed);
}

TEST_F(TaskPiecesTest, AStateFileWriteCutShortLeavesThePreviousFileLoadable) {
    auto task = NewTask();
    task->SetTorrentBlob(torrent_);
    ASSERT_TRUE(task->SaveStateFile(state_));
    const std::string saved = test::ReadFile(state_);
    ASSERT_FALSE(saved.empty());

    // A writer killed half-way leaves its temporary file; the state file itself is whole.
    auto bigger = NewTask();
    bigger->SetTorrentBlob(torrent_ + std::string(100000, 'z'));
    const std::string temp = platform::AtomicTempPrefix(state_) + "0badf00d";
    ASSERT_TRUE(bigger->SaveStateFile(dir_.File("other.kvinfo")));
    const std::string full = test::ReadFile(dir_.File("other.kvinfo"));
    test::WriteFile(temp, full.substr(0, full.size() / 2));
    auto reader = NewTask();
    ASSERT_TRUE(reader->LoadStateFile(state_));
    EXPECT_EQ(reader->TorrentBlob().data, torrent_);

    // A file that is itself cut short is refused whole: nothing half-read is taken.
    test::WriteFile(state_, full.substr(0, full.size() / 2));
    auto cautious = NewTask();
    cautious->SetTorrentBlob("kept");
    EXPECT_FALSE(cautious->LoadStateFile(state_));
    EXPECT_EQ(cautious->TorrentBlob().data, "kept");

    // Blobs of 2 bytes or less do not replace the current ones.
    test::WriteFile(
        state_, "d4:bits2:ab7:torrent" + std::to_string(torrent_.size()) + ":" + torrent_ + "e");
    auto small = NewTask();
    ASSERT_TRUE(small->LoadStateFile(state_));
    EXPECT_EQ(small->TorrentBlob().data, torrent_);
    ASSERT_TRUE(small->LoadMetainfo());
    EXPECT_EQ(small->Pieces()->PiecesDone(), 0);
}

TEST_F(TaskPiecesTest, ReadRangeServesWrittenPiecesOnTheTaskThread) {
    {
        auto task = NewTask();
        task->SetTorrentBlob(torrent_);
        ASSERT_TRUE(task->LoadMetainfo());
        DeliverBlocks(*task, 0, 32);  // pieces 0 and 1
        std::uint8_t buffer[16];
        EXPECT_EQ(task->ReadRange(0, buffer, 0, 16, 16), kReadTaskStopped);  // no thread
        task->Reset(false, false);
        ASSERT_TRUE(task->SaveStateFile(state_));
    }
    auto task = NewTask();
    ASSERT_EQ(task->ContinueDownload(), 0);
    // Across the boundary of pieces 0 and 1.
    std::string out(1000, '\0');
    std::int32_t got = kReadTimedOut;
    for (int i = 0; i < 100 && got == kReadTimedOut; ++i) {
        got = task->ReadRange(0, out.data(), kPiece - 500, 1000, 1000);
    }
    EXPECT_EQ(got, 1000);
    EXPECT_EQ(out, content_.substr(kPiece - 500, 1000));
    EXPECT_EQ(task->ReadRange(0, out.data(), 2 * kPiece, 10, 10), kReadFailed);  // not have
    EXPECT_EQ(task->ReadRange(0, out.data(), content_.size() - 5, 10, 10), kReadFailed);
    EXPECT_EQ(task->ReadRange(1, out.data(), 0, 10, 10), kReadFailed);  // no such file
    EXPECT_EQ(task->StopDownload(), 0);
}

TEST_F(TaskPiecesTest, AReadNobodyPicksUpWithinThreeSecondsTimesOut) {
    // An HTTP task that never learns its size has no piece map to read from.
    TWorkThread task;
    task.SetFlags(kFlagRecorded | kFlagFullPath);
    task.SetTargetFile(dir_.File("h.cab"));
    task.SetSourceEntries({"http://127.0.0.1:9/h.cab"});
    ASSERT_EQ(task.StartDownload(), 0);
    std::uint8_t buffer[8];
    const std::uint32_t before = EngineSeconds();
    EXPECT_EQ(task.ReadRange(0, buffer, 0, 8, 8), kReadTimedOut);
    EXPECT_GE(EngineSeconds() - before, 2u);
    EXPECT_EQ(task.StopDownload(), 0);
}

TEST_F(TaskPiecesTest, AnHttpTaskTakesItsLayoutFromTheReportedSize) {
    auto task = std::make_unique<TWorkThread>();
    task->SetFlags(kFlagRecorded | kFlagFullPath);
    task->SetTargetFile(target_);
    task->SetStateFilePath(state_);
    EXPECT_FALSE(task->SetUnhashedLayout(0));
    ASSERT_TRUE(task->SetUnhashedLayout(content_.size()));
    TPieces& map = *task->Pieces();
    EXPECT_EQ(map.PieceLength(), kUnhashedPieceLength);
    EXPECT_EQ(map.PieceCount(), 2);
    EXPECT_FALSE(map.HasHashes());
    EXPECT_FALSE(task->HasMetainfo());
    EXPECT_EQ(task->PublishedInfo().totalSize, content_.size());
    EXPECT_EQ(task->BitfieldSize(), 1);
    EXPECT_EQ(task->GetFileCount(), 1);
}

TEST_F(TaskPiecesTest, MetainfoFromASourceIsTakenOnceAndOnlyWhenItParses) {
    auto task = std::make_unique<TWorkThread>();
    task->SetFlags(kFlagRecorded | kFlagFullPath | kFlagBtTask);
    task->SetTargetFile(target_);
    EXPECT_FALSE(task->OfferMetainfo("not bencode"));
    EXPECT_FALSE(task->OfferMetainfo("le"));
    EXPECT_TRUE(task->OfferMetainfo(torrent_));
    EXPECT_FALSE(task->OfferMetainfo(torrent_));  // it has one now
    EXPECT_EQ(task->TorrentBlob().data, torrent_);
    ASSERT_TRUE(task->LoadMetainfo());
    EXPECT_TRUE(task->HasMetainfo());
    ASSERT_TRUE(task->InfoHash().has_value());
    EXPECT_EQ(task->MetainfoTrackers().front(), "http://tracker.koruvan.example:6969/announce");
    EXPECT_EQ(task->Candidates().size(), 1u);  // the tracker became a candidate

    // The metainfo record: sizes, the hash as text, the announce URL; the rest zeroed.
    TaskMetainfo record;
    std::memset(&record, 0x5A, sizeof record);
    ASSERT_EQ(task->QueryMetainfo(&record), 0);
    EXPECT_EQ(record.totalSizeLow, content_.size());
    EXPECT_EQ(record.pieceLength, kPiece);
    std::string hex;
    for (const std::uint8_t byte : *task->InfoHash()) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    EXPECT_EQ(std::string(record.infoHash), hex);
    EXPECT_EQ(record.infoHash[40], '\0');
    EXPECT_STREQ(record.announce, "http://tracker.koruvan.example:6969/announce");
    EXPECT_EQ(record.announce[sizeof record.announce - 1], '\0');
    EXPECT_EQ(task->QueryMetainfo(nullptr), kErrNullDescriptor);
}

}  // namespace
}  // namespace koruvan::engine
