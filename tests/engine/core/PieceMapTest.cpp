// The piece map: layout checks, receiving blocks, verification, writing in piece order and
// across file boundaries, the memory budget.
#include <gtest/gtest.h>

#include <cstring>

#include "PieceTestSupport.h"
#include "engine/core/TPieces.h"
#include "engine/peers/SourceUrl.h"
#include "engine/peers/TPeerId.h"
#include "platform/Paths.h"
#include "support/EngineTestClock.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

using test::Deliver;
using test::MakeContent;

constexpr std::int32_t kPiece = 64 * 1024;  // 4 blocks

struct IdRelease {
    void operator()(TPeerId* p) const { p->Release(); }
};
using IdPtr = std::unique_ptr<TPeerId, IdRelease>;

class PieceMapTest : public ::testing::Test {
  protected:
    test::PiecesPtr Build(const MetainfoLayout& layout, PieceMapOptions options = {}) {
        auto map = test::NewPieces(host_);
        EXPECT_TRUE(map->Build(layout, std::nullopt, options));
        return map;
    }

    test::TempDir dir_;
    test::EngineTestClock clock_{1000.0};
    test::RecordingHost host_;
};

TEST_F(PieceMapTest, LayoutsThatDoNotAddUpAreRefused) {
    const std::string content = MakeContent(3 * kPiece + 100);
    auto ok = test::MakeLayout(dir_.File("a.bin"), kPiece, content);
    auto map = test::NewPieces(host_);
    ASSERT_TRUE(map->Build(ok, std::nullopt, {}));
    EXPECT_EQ(map->PieceCount(), 4);
    EXPECT_EQ(map->PieceSize(3), 100);
    EXPECT_EQ(map->PieceSize(4), 0);
    EXPECT_EQ(host_.Count(kEventPieceCount), 1);

    const auto refused = [&](auto change) {
        MetainfoLayout bad = ok;
        change(bad);
        return !test::NewPieces(host_)->Build(bad, std::nullopt, {});
    };
    EXPECT_TRUE(refused([](auto& l) { l.pieceCount = 5; }));  // a piece past the end
    EXPECT_TRUE(refused([](auto& l) { l.pieceCount = 3; }));  // content past the pieces
    EXPECT_TRUE(refused([](auto& l) { l.pieceHashes.pop_back(); }));
    EXPECT_TRUE(refused([](auto& l) { l.files[0].size -= 1; }));  // files short of the total
    EXPECT_TRUE(refused([](auto& l) { l.files.clear(); }));
    EXPECT_TRUE(refused([](auto& l) { l.pieceLength = 0; }));
}

TEST_F(PieceMapTest, APieceIsVerifiedWrittenAndReportedOnce) {
    const std::string content = MakeContent(3 * kPiece + 100);
    const std::string path = dir_.File("a.bin");
    auto map = Build(test::MakeLayout(path, kPiece, content));
    EXPECT_TRUE(map->Wanted(1));
    EXPECT_EQ(Deliver(*map, content, 4), 0);
    EXPECT_TRUE(map->Partial(1));
    EXPECT_TRUE(map->HasBlock(4));
    EXPECT_FALSE(map->HasBlock(5));
    std::int32_t first = -1;
    EXPECT_EQ(map->MissingBytes(1, &first), 3 * kBlockSize);
    EXPECT_EQ(first, kBlockSize);
    Deliver(*map, content, 5);
    Deliver(*map, content, 6);
    EXPECT_EQ(Deliver(*map, content, 7), kPieceCompleted);
    EXPECT_FALSE(map->Wanted(1));  // complete in memory: nobody fetches it again
    ASSERT_TRUE(map->FlushAll());
    EXPECT_TRUE(map->Have(1));
    EXPECT_EQ(map->PiecesDone(), 1);
    EXPECT_EQ(map->BytesDone(), static_cast<std::uint64_t>(kPiece));
    EXPECT_EQ(map->LastCompleted(), 1);
    EXPECT_EQ(map->Bitfield()[0], 0x40);

    // A block of a written piece is refused and changes nothing.
    bool accepted = true;
    EXPECT_EQ(Deliver(*map, content, 5, nullptr, &accepted), 0);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(map->PiecesDone(), 1);
    EXPECT_EQ(host_.Count(kEventPieceState), 1);

    // The data is where it belongs, in the temporary file.
    const std::string onDisk = test::ReadFile(path + ".kvtmp");
    ASSERT_GE(onDisk.size(), static_cast<std::size_t>(2 * kPiece));
    EXPECT_EQ(onDisk.substr(kPiece, kPiece), content.substr(kPiece, kPiece));
    std::string back(kPiece, '\0');
    EXPECT_EQ(map->ReadPiece(1, 0, kPiece, reinterpret_cast<std::uint8_t*>(back.data())), kPiece);
    EXPECT_EQ(back, content.substr(kPiece, kPiece));
}

TEST_F(PieceMapTest, BlocksMustBeWholeAndInsideTheContent) {
    const std::string content = MakeContent(2 * kPiece + 5000);
    auto map = Build(test::MakeLayout(dir_.File("b.bin"), kPiece, content));
    const auto* data = reinterpret_cast<const std::uint8_t*>(content.data());
    bool accepted = true;
    EXPECT_EQ(map->PutBlock(0, 100, data, nullptr, accepted), 0);  // short block
    EXPECT_FALSE(accepted);
    EXPECT_EQ(map->PutBlock(9, kBlockSize, data, nullptr, accepted), 0);  // past the end
    EXPECT_FALSE(accepted);
    EXPECT_EQ(map->PutBlock(-1, kBlockSize, data, nullptr, accepted), 0);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(map->BlockLength(8), 5000);  // the last block of the last piece
    EXPECT_EQ(map->PutBlock(8, kBlockSize, data, nullptr, accepted), 0);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(Deliver(*map, content, 8, nullptr, &accepted), kPieceCompleted);
    EXPECT_TRUE(accepted);
    EXPECT_EQ(map->BufferedBytes(), 5000);  // complete, held until written
    EXPECT_FALSE(map->Wanted(2));
    // Once nothing else is missing, complete pieces are written at once.
    for (std::int32_t b = 0; b < 8; ++b) {
        Deliver(*map, content, b);
    }
    EXPECT_EQ(map->BufferedBytes(), 0);
    EXPECT_TRUE(map->AllDone());

    // A piece length that is not a multiple of 16 KiB cannot be planned in blocks.
    auto odd = Build(test::MakeLayout(dir_.File("c.bin"), 10000, MakeContent(30000)));
    EXPECT_EQ(odd->PieceOfBlock(0), -1);
    EXPECT_EQ(odd->PutBlock(0, kBlockSize, data, nullptr, accepted), 0);
    EXPECT_FALSE(accepted);
}

TEST_F(PieceMapTest, AFailedPieceIsResetChargedToItsSupplierAndReported) {
    test::UsageRecorder usage;
    const std::string content = MakeContent(2 * kPiece);
    std::string bad = content;
    bad[kPiece + 3 * kBlockSize + 9] ^= 0x01;
    PieceMapOptions options;
    options.targetName = dir_.File("d.bin");
    auto map = Build(test::MakeLayout(dir_.File("d.bin"), kPiece, content), options);

    IdPtr web(new TPeerId("http://cdn.koruvan.example/d.bin"));
    web->kind = kKindHttp;
    for (std::int32_t b = 4; b < 7; ++b) {
        Deliver(*map, bad, b, web.get());
    }
    EXPECT_EQ(Deliver(*map, bad, 7, web.get()), kPieceFailed);
    EXPECT_EQ(web->Details().failedPieces, 1);
    EXPECT_TRUE(map->Wanted(1));
    EXPECT_FALSE(map->Partial(1));
    EXPECT_EQ(map->BufferedBytes(), 0);

    IdPtr peer(new TPeerId("node://203.0.113.3:6881"));
    peer->kind = kKindBitTorrent;
    peer->ip = 0x037100CBu;  // 203.0.113.3 in network order
    peer->port = 6881;
    for (std::int32_t b = 4; b < 8; ++b) {
        Deliver(*map, bad, b, peer.get());
    }
    const auto events = usage.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].code, "11500101");
    EXPECT_EQ(events[0].text, "http://cdn.koruvan.example/d.bin");
    EXPECT_EQ(events[0].fileName, dir_.File("d.bin"));
    EXPECT_EQ(events[1].code, "11500102");
    EXPECT_EQ(events[1].text, "203.0.113.3:6881");

    // The good data from another source completes it, and resets the failure counter.
    peer->failures = 3;
    for (std::int32_t b = 4; b < 8; ++b) {
        Deliver(*map, content, b, peer.get());
    }
    EXPECT_EQ(peer->failures, 0);
    ASSERT_TRUE(map->FlushAll());
    EXPECT_TRUE(map->Have(1));
}

TEST_F(PieceMapTest, ContiguousDataIsWrittenEarlyAndHashedOnce) {
    constexpr std::int32_t kLong = 512 * 1024;  // 32 blocks
    const std::string content = MakeContent(2 * kLong);
    auto map = Build(test::MakeLayout(dir_.File("e.bin"), kLong, content));
    Piece* p = map->At(0);
    // 9 blocks in order: 8 (128 KiB) go to disk, the ninth waits in memory.
    for (std::int32_t b = 0; b < 9; ++b) {
        Deliver(*map, content, b);
    }
    EXPECT_EQ(p->HashedBytes(), kFlushMinimum);
    EXPECT_EQ(p->BufferedBytes(), kBlockSize);
    EXPECT_EQ(map->Storage().BytesWrittenToDisk(), static_cast<std::uint64_t>(kFlushMinimum));
    // Out-of-order blocks wait; a gap keeps them in memory.
    Deliver(*map, content, 20);
    EXPECT_EQ(p->ContiguousFromPrefix(), kBlockSize);
    // The prefix only ever moves in whole 128 KiB steps, so a stop can resume from it.
    for (std::int32_t b = 9; b < 20; ++b) {
        Deliver(*map, content, b);
    }
    EXPECT_EQ(p->HashedBytes(), 2 * kFlushMinimum);
    EXPECT_EQ(p->HashedBytes() % kFlushMinimum, 0);
    for (std::int32_t b = 21; b < 32; ++b) {
        Deliver(*map, content, b);
    }
    // Its prefix went to disk, so the complete piece is written and counted at once rather
    // than waiting as pending (which would keep it out of the progress).
    EXPECT_TRUE(map->Have(0));
    EXPECT_EQ(map->PendingPieces(), 0);
    EXPECT_EQ(map->BytesDone(), static_cast<std::uint64_t>(kLong));
    ASSERT_TRUE(map->FlushAll());
    EXPECT_TRUE(map->Have(0));
    EXPECT_EQ(map->Storage().BytesRead(), 0u);  // verified without reading anything back
}

TEST_F(PieceMapTest, BoundaryPiecesSpanFilesAndZeroLengthFilesComplete) {
    // Files of 50000, 0, 70000 and 10 bytes over 64 KiB pieces: piece 0 ends inside the
    // third file, piece 1 holds the end of the third and the whole fourth.
    const std::string content = MakeContent(120010);
    MetainfoLayout layout = test::MakeLayout(dir_.File("unused"), kPiece, content);
    layout.files.clear();
    const std::uint64_t sizes[] = {50000, 0, 70000, 10};
    const char* names[] = {"m/one", "m/empty", "m/two", "m/three"};
    std::uint64_t offset = 0;
    for (int i = 0; i < 4; ++i) {
        MetainfoFile f;
        f.fullPath = dir_.File(names[i]);
        f.relativeName = names[i];
        f.size = sizes[i];
        f.offset = offset;
        f.index = i;
        offset += sizes[i];
        layout.files.push_back(f);
    }
    auto map = Build(layout);
    const auto& files = map->Storage().Files();
    EXPECT_EQ(files[1].pieceSpan, 1);
    EXPECT_EQ(files[2].firstPiece, 0);
    EXPECT_EQ(files[2].pieceSpan, 2);
    EXPECT_EQ(files[3].firstPiece, 1);
    for (std::int32_t b = 0; b < 8; ++b) {
        Deliver(*map, content, b);
    }
    EXPECT_TRUE(map->AllDone());
    map->CloseFiles(false, true);
    EXPECT_EQ(test::ReadFile(dir_.File("m/one")), content.substr(0, 50000));
    EXPECT_EQ(test::ReadFile(dir_.File("m/two")), content.substr(50000, 70000));
    EXPECT_EQ(test::ReadFile(dir_.File("m/three")), content.substr(120000));
    EXPECT_TRUE(platform::FileExists(dir_.File("m/empty")));
    EXPECT_FALSE(platform::FileExists(dir_.File("m/two.kvtmp")));
}

TEST_F(PieceMapTest, FilesGrowAheadOfTheWritesOrWholeWhenPreallocated) {
    const std::string content = MakeContent(512 * kPiece);  // 32 MiB, beyond one growth step
    const std::string path = dir_.File("grow.bin");
    {
        auto map = Build(test::MakeLayout(path, kPiece, content));
        for (std::int32_t b = 0; b < 4; ++b) {
            Deliver(*map, content, b);
        }
        ASSERT_TRUE(map->FlushAll());
        // Needed offset 64 KiB + the growth step + one piece, capped at the length.
        EXPECT_EQ(platform::FileSize(path + ".kvtmp"),
                  static_cast<std::uint64_t>(kPiece + PieceStorage::kGrowAhead + kPiece));
        for (std::int32_t b = 2044; b < 2048; ++b) {  // the last piece: capped at the length
            Deliver(*map, content, b);
        }
        ASSERT_TRUE(map->FlushAll());
        EXPECT_EQ(platform::FileSize(path + ".kvtmp"), content.size());
    }
    PieceMapOptions whole;
    whole.preallocate = true;
    auto map = Build(test::MakeLayout(dir_.File("whole.bin"), kPiece, content), whole);
    for (std::int32_t b = 0; b < 4; ++b) {
        Deliver(*map, content, b);
    }
    ASSERT_TRUE(map->FlushAll());
    EXPECT_EQ(platform::FileSize(dir_.File("whole.bin.kvtmp")), content.size());
    EXPECT_EQ(host_.Count(kEventDiskFull), 0);
}

TEST(FileTableRules, NamesAndPieceSpans) {
    EXPECT_EQ(SanitizeTargetPath("/d/a?b\r\nc"), "/d/a_b__c");
    std::vector<TargetFile> files(3);
    files[0].length = 10;
    files[1].length = 0;
    files[2].length = 100;
    PrepareFileTable(files, 16);
    EXPECT_EQ(files[0].pieceSpan, 1);
    EXPECT_EQ(files[1].offset, 10u);
    EXPECT_EQ(files[1].firstPiece, 0);
    EXPECT_EQ(files[1].pieceSpan, 1);
    // Starts 10 bytes into piece 0: 6 bytes there, then ceil(94 / 16) = 6 more pieces.
    EXPECT_EQ(files[2].firstPiece, 0);
    EXPECT_EQ(files[2].pieceSpan, 7);
}

TEST_F(PieceMapTest, AnExistingTargetIsWrittenInPlaceAndNeverRenamed) {
    const std::string content = MakeContent(kPiece);
    const std::string path = dir_.File("in-place.bin");
    test::WriteFile(path, std::string(10, 'x'));
    auto map = Build(test::MakeLayout(path, kPiece, content));
    EXPECT_FALSE(map->Storage().Files()[0].temporary);
    for (std::int32_t b = 0; b < 4; ++b) {
        Deliver(*map, content, b);
    }
    map->CloseFiles(false, true);
    EXPECT_EQ(test::ReadFile(path), content);
    EXPECT_FALSE(platform::FileExists(path + ".kvtmp"));
}

TEST_F(PieceMapTest, CompletePiecesStayInMemoryOnlyWithinTheBudget) {
    const std::string content = MakeContent(40 * kPiece);
    PieceMapOptions options;
    options.budgetUnits = 4;  // 1 MiB; nothing written yet: pieces kept below 1/5 of it
    auto map = Build(test::MakeLayout(dir_.File("f.bin"), kPiece, content), options);
    EXPECT_EQ(map->BudgetBytes(), 4 * kBudgetUnitBytes);
    for (std::int32_t piece = 0; piece < 10; ++piece) {
        for (std::int32_t b = 0; b < 4; ++b) {
            Deliver(*map, content, piece * 4 + b);
        }
        EXPECT_LE(map->BufferedBytes(), map->BudgetBytes() / 5 + kPiece);
    }
    EXPECT_GT(map->PiecesDone(), 0);
    map->Synchronize();
    map->FlushAll();
    EXPECT_EQ(map->PiecesDone(), 10);
    EXPECT_EQ(map->PendingPieces(), 0);
    EXPECT_EQ(map->BufferedBytes(), 0);
}

TEST_F(PieceMapTest, PiecesWithoutHashesAreTakenUnverified) {
    const std::string content = MakeContent(2 * kPiece);
    auto map = Build(test::MakeLayout(dir_.File("g.bin"), kPiece, content, false));
    EXPECT_FALSE(map->HasHashes());
    std::string changed = content;
    changed[10] ^= 0x55;
    for (std::int32_t b = 0; b < 4; ++b) {
        Deliver(*map, changed, b);
    }
    ASSERT_TRUE(map->FlushAll());
    EXPECT_TRUE(map->Have(0));
}

}  // namespace
}  // namespace koruvan::engine
