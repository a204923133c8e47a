// Resuming a download: the resume record and piece cache a stopped piece map leaves, what
// a new piece map takes from them, and what it does with target data nothing vouches for.
#include <gtest/gtest.h>

#include <zlib.h>

#include "PieceTestSupport.h"
#include "engine/core/PieceCache.h"
#include "engine/core/ResumeRecord.h"
#include "engine/core/TPieces.h"
#include "platform/Paths.h"
#include "support/EngineTestClock.h"
#include "support/TempDir.h"

namespace koruvan::engine {
namespace {

using test::Deliver;
using test::MakeContent;

constexpr std::int32_t kLong = 256 * 1024;  // 16 blocks
constexpr std::int32_t kShort = 64 * 1024;  // 4 blocks

class ResumeTest : public ::testing::Test {
  protected:
    PieceMapOptions Options(const std::string& resume = {}) {
        PieceMapOptions o;
        o.pieceCachePath = dir_.File("task.kvinfodf");
        o.resumeBlob = resume;
        return o;
    }
    // What the end of a run does: write, keep the cache, close with a record.
    std::string Stop(TPieces& map, test::RecordingHost& host) {
        map.FlushAll();
        EXPECT_TRUE(map.SavePieceCacheFile());
        map.CloseFiles(true, false);
        return host.resume;
    }
    void DeliverPiece(TPieces& map, const std::string& content, std::int32_t piece,
                      std::int32_t pieceLength) {
        const std::int32_t blocks = pieceLength / kBlockSize;
        for (std::int32_t b = 0; b < blocks; ++b) {
            Deliver(map, content, piece * blocks + b);
        }
    }
    std::vector<std::int32_t> HavePieces(const TPieces& map) {
        std::vector<std::int32_t> out;
        for (std::int32_t i = 0; i < map.PieceCount(); ++i) {
            if (map.Have(i)) {
                out.push_back(i);
            }
        }
        return out;
    }

    test::TempDir dir_;
    test::EngineTestClock clock_{1000.0};
    std::string path_ = dir_.File("target.bin");
};

TEST_F(ResumeTest, AStopInTheMiddleOfAPieceResumesWithoutRereadingWrittenBytes) {
    const std::string content = MakeContent(4 * kLong, 21);
    const auto layout = test::MakeLayout(path_, kLong, content);
    std::string resume;
    {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        ASSERT_TRUE(map->Build(layout, std::nullopt, Options()));
        DeliverPiece(*map, content, 0, kLong);
        for (std::int32_t b = 16; b < 26; ++b) {  // 8 blocks written, 2 held
            Deliver(*map, content, b);
        }
        Deliver(*map, content, 28);  // held, after a gap
        ASSERT_EQ(map->At(1)->HashedBytes(), kFlushMinimum);
        resume = Stop(*map, host);
    }
    ASSERT_FALSE(resume.empty());
    ResumeReader reader;
    ASSERT_TRUE(reader.Parse(resume));
    const auto partial = reader.Pieces();
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].index, 1);
    EXPECT_EQ(partial[0].part, kFlushMinimum);
    EXPECT_EQ(reader.BitField(), std::string(1, '\x80'));

    test::RecordingHost host;
    auto map = test::NewPieces(host);
    ASSERT_TRUE(map->Build(layout, std::nullopt, Options(resume)));
    EXPECT_TRUE(map->Have(0));
    EXPECT_EQ(map->At(1)->HashedBytes(), kFlushMinimum);
    EXPECT_EQ(map->At(1)->BufferedBytes(), 3 * kBlockSize);  // from the piece cache
    EXPECT_EQ(host.refreshes.load(), 0);                     // no re-check
    for (std::int32_t b : {26, 27, 29, 30}) {
        EXPECT_EQ(Deliver(*map, content, b), 0);
    }
    EXPECT_EQ(Deliver(*map, content, 31), kPieceCompleted);
    ASSERT_TRUE(map->FlushAll());
    EXPECT_TRUE(map->Have(1));
    EXPECT_EQ(map->Storage().BytesRead(), 0u);
    map->CloseFiles(true, false);
    EXPECT_EQ(test::ReadFile(path_ + ".kvtmp").substr(0, 2 * kLong), content.substr(0, 2 * kLong));
}

TEST_F(ResumeTest, ASizeThatDisagreesIsNotTrustedAndTheRecheckKeepsWhatVerifies) {
    const std::string content = MakeContent(8 * kShort, 5);
    const auto layout = test::MakeLayout(path_, kShort, content);
    std::string resume;
    {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        ASSERT_TRUE(map->Build(layout, std::nullopt, Options()));
        for (std::int32_t piece = 0; piece < 7; ++piece) {
            DeliverPiece(*map, content, piece, kShort);
        }
        resume = Stop(*map, host);
    }
    // One flipped byte in piece 3, and the file cut inside piece 6: smaller than recorded.
    std::string onDisk = test::ReadFile(path_ + ".kvtmp");
    onDisk[3 * kShort + 1234] ^= 0x20;
    onDisk.resize(6 * kShort + 100);
    test::WriteFile(path_ + ".kvtmp", onDisk);

    test::RecordingHost host;
    auto map = test::NewPieces(host);
    ASSERT_TRUE(map->Build(layout, std::nullopt, Options(resume)));
    EXPECT_EQ(HavePieces(*map), (std::vector<std::int32_t>{0, 1, 2, 4, 5}));
    EXPECT_EQ(map->BytesDone(), 5u * kShort);
    EXPECT_GT(host.refreshes.load(), 0);  // progress kept going during the check
    EXPECT_EQ(host.Count(kEventBitfieldReset), 1);
    EXPECT_TRUE(map->Wanted(3));
    DeliverPiece(*map, content, 3, kShort);
    ASSERT_TRUE(map->FlushAll());
    EXPECT_TRUE(map->Have(3));
}

TEST_F(ResumeTest, TargetDataWithoutARecordIsRecheckedInPlace) {
    // A finished file found damaged: no state file any more, the data under its final name.
    const std::string content = MakeContent(5 * kShort + 777, 9);
    std::string damaged = content;
    damaged[2 * kShort + 5] ^= 0x01;
    test::WriteFile(path_, damaged);
    test::RecordingHost host;
    auto map = test::NewPieces(host);
    ASSERT_TRUE(map->Build(test::MakeLayout(path_, kShort, content), std::nullopt, Options()));
    EXPECT_FALSE(map->Storage().Files()[0].temporary);
    EXPECT_EQ(HavePieces(*map), (std::vector<std::int32_t>{0, 1, 3, 4, 5}));
    DeliverPiece(*map, content, 2, kShort);
    EXPECT_TRUE(map->AllDone());
    map->CloseFiles(true, true);
    EXPECT_EQ(test::ReadFile(path_), content);
}

TEST_F(ResumeTest, AFileThatOnlyGrewKeepsTheRecordedPiecesWithoutARecheck) {
    for (const bool hashed : {false, true}) {
        SCOPED_TRACE(hashed ? "hashed" : "unhashed");
        test::TempDir dir;
        const std::string path = dir.File("grow.bin");
        // Long enough that a piece near the end lies beyond what the first writes grew.
        const std::string content = MakeContent(400 * kShort, 3);
        const auto layout = test::MakeLayout(path, kShort, content, hashed);
        std::string resume;
        {
            test::RecordingHost host;
            auto map = test::NewPieces(host);
            ASSERT_TRUE(map->Build(layout, std::nullopt, {}));
            DeliverPiece(*map, content, 0, kShort);
            DeliverPiece(*map, content, 1, kShort);
            ASSERT_TRUE(map->FlushAll());
            map->SaveResume();  // the periodic save
            resume = host.resume;
            const auto before = platform::FileSize(path + ".kvtmp");
            DeliverPiece(*map, content, 390, kShort);  // written after the save: the file grows
            ASSERT_TRUE(map->FlushAll());
            ASSERT_GT(platform::FileSize(path + ".kvtmp"), before);
            // A crash: no record of the later piece.
        }
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        PieceMapOptions options;
        options.resumeBlob = resume;
        ASSERT_TRUE(map->Build(layout, std::nullopt, options));
        EXPECT_EQ(HavePieces(*map), (std::vector<std::int32_t>{0, 1}));
        EXPECT_EQ(host.refreshes.load(), 0);
        EXPECT_EQ(map->Storage().BytesRead(), 0u);
    }
}

TEST_F(ResumeTest, WithoutHashesAShrunkenFileStartsOver) {
    const std::string content = MakeContent(6 * kShort, 4);
    const auto layout = test::MakeLayout(path_, kShort, content, false);
    std::string resume;
    {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        ASSERT_TRUE(map->Build(layout, std::nullopt, {}));
        DeliverPiece(*map, content, 0, kShort);
        DeliverPiece(*map, content, 1, kShort);
        map->CloseFiles(true, false);
        resume = host.resume;
    }
    std::string onDisk = test::ReadFile(path_ + ".kvtmp");
    onDisk.resize(kShort);
    test::WriteFile(path_ + ".kvtmp", onDisk);
    test::RecordingHost host;
    auto map = test::NewPieces(host);
    PieceMapOptions options;
    options.resumeBlob = resume;
    ASSERT_TRUE(map->Build(layout, std::nullopt, options));
    EXPECT_EQ(map->PiecesDone(), 0);
}

TEST_F(ResumeTest, ARecordIsCheckedBeforeAnythingIsTakenFromIt) {
    const std::string content = MakeContent(4 * kShort, 8);
    const auto layout = test::MakeLayout(path_, kShort, content, false);
    test::WriteFile(path_ + ".kvtmp", content.substr(0, kShort));
    const auto build = [&](const ResumeRecord& record, const std::optional<InfoHashBytes>& hash) {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        PieceMapOptions options;
        options.resumeBlob = EncodeResumeRecord(record);
        EXPECT_TRUE(map->Build(layout, hash, options));
        return map->PiecesDone();
    };
    ResumeRecord good;
    good.files.push_back({path_ + ".kvtmp", 1, 2, kShort, 0});
    good.bitfield = std::string(1, '\x80');
    EXPECT_EQ(build(good, std::nullopt), 1);

    ResumeRecord otherHash = good;
    otherHash.infoHash = InfoHashBytes{1};
    EXPECT_EQ(build(otherHash, InfoHashBytes{2}), 0);
    EXPECT_EQ(build(otherHash, InfoHashBytes{1}), 1);

    ResumeRecord claimsTooMuch = good;  // pieces beyond what the file held
    claimsTooMuch.bitfield = std::string(1, '\xC0');
    EXPECT_EQ(build(claimsTooMuch, std::nullopt), 0);

    ResumeRecord wrongLength = good;
    wrongLength.bitfield = std::string(2, '\x80');
    EXPECT_EQ(build(wrongLength, std::nullopt), 0);

    ResumeRecord timeZero = good;  // recorded as missing, present now
    timeZero.files[0].low = timeZero.files[0].high = 0;
    EXPECT_EQ(build(timeZero, std::nullopt), 0);

    ResumeRecord otherFile = good;
    otherFile.files[0].path = dir_.File("someone-else.bin");
    EXPECT_EQ(build(otherFile, std::nullopt), 0);

    for (const std::string& garbage :
         {std::string("x"), std::string("le"), std::string("d3:Low")}) {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        PieceMapOptions options;
        options.resumeBlob = garbage;
        EXPECT_TRUE(map->Build(layout, std::nullopt, options));
        EXPECT_EQ(map->PiecesDone(), 0);
    }
}

TEST_F(ResumeTest, TheRecordKeepsItsStoredLayout) {
    // Two files, the second never written: it is recorded as missing.
    const std::string content = MakeContent(2 * kShort, 2);
    MetainfoLayout layout = test::MakeLayout(path_, kShort, content);
    layout.files[0].size = kShort;
    MetainfoFile second;
    second.fullPath = dir_.File("second.bin");
    second.relativeName = "second.bin";
    second.size = kShort;
    layout.files.push_back(second);
    test::RecordingHost host;
    auto map = test::NewPieces(host);
    InfoHashBytes hash{};
    hash.fill(0xAB);
    ASSERT_TRUE(map->Build(layout, hash, {}));
    for (std::int32_t b : {0, 1, 2, 3, 4, 5}) {  // piece 0 whole, half of piece 1 held
        Deliver(*map, content, b);
    }
    ASSERT_TRUE(map->FlushAll());
    map->CloseFiles(true, false);
    const std::string& record = host.resume;
    EXPECT_EQ(record.rfind("d8:infohash20:", 0), 0u);
    EXPECT_NE(record.find("3:Lowi"), std::string::npos);
    const std::string missing = dir_.File("second.bin.kvtmp");
    EXPECT_NE(record.find(std::to_string(missing.size()) + ":" + missing +
                          "3:Low4:High4:Sizei-1e8:Priority"),
              std::string::npos);
    EXPECT_NE(record.find("11:PieceStatusle8:BitField1:\x80"
                          "e"),
              std::string::npos);
    ResumeReader reader;
    ASSERT_TRUE(reader.Parse(record));
    EXPECT_EQ(reader.InfoHash(), hash);
    const auto first = reader.File(path_ + ".kvtmp", {});
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size, kShort);
    EXPECT_NE(first->low | first->high, 0u);

    // The file list names the files in order.
    std::string fileList;
    for (const auto& e : host.events) {
        if (e.type == kEventFileList) {
            fileList = e.data;
        }
    }
    EXPECT_EQ(fileList, "l11:content.bin10:second.bindee");
}

TEST_F(ResumeTest, APieceStatusEntryNeedsItsChecksumAndAWholeStoredState) {
    constexpr std::int32_t kHalfMiB = 512 * 1024;
    const std::string content = MakeContent(2 * kHalfMiB, 12);
    const auto layout = test::MakeLayout(path_, kHalfMiB, content);
    std::string resume;
    {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        ASSERT_TRUE(map->Build(layout, std::nullopt, {}));
        for (std::int32_t b = 0; b < 8; ++b) {
            Deliver(*map, content, b);
        }
        map->CloseFiles(true, false);
        resume = host.resume;
    }
    ResumeReader reader;
    ASSERT_TRUE(reader.Parse(resume));
    ResumeRecord record;
    record.files.push_back(*reader.File(path_ + ".kvtmp", {}));
    record.bitfield = *reader.BitField();
    record.pieces = reader.Pieces();
    ASSERT_EQ(record.pieces.size(), 1u);
    const ResumePiece stored = record.pieces[0];
    EXPECT_EQ(stored.checksum, static_cast<std::uint32_t>(adler32(0, stored.status.data(), 104)));

    const auto restored = [&](const ResumePiece& piece) {
        ResumeRecord r = record;
        r.pieces = {piece};
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        PieceMapOptions options;
        options.resumeBlob = EncodeResumeRecord(r);
        EXPECT_TRUE(map->Build(layout, std::nullopt, options));
        return map->At(0)->HashedBytes();
    };
    EXPECT_EQ(restored(stored), kFlushMinimum);
    ResumePiece badSum = stored;
    badSum.checksum ^= 1;
    EXPECT_EQ(restored(badSum), 0);
    ResumePiece oddPart = stored;  // not a whole flush unit
    oddPart.part = kBlockSize;
    EXPECT_EQ(restored(oddPart), 0);
    ResumePiece badState = stored;  // claims more bytes than its state hashed
    badState.part = 2 * kFlushMinimum;
    EXPECT_EQ(restored(badState), 0);

    // Negative counts (or ones past 32 bits) are damaged entries the reader drops.
    for (const std::int64_t bad : {std::int64_t{-1}, std::int64_t{1} << 40}) {
        for (const bool inPart : {true, false}) {
            ResumeRecord r = record;
            (inPart ? r.pieces[0].part : r.pieces[0].index) = static_cast<std::int32_t>(-1);
            std::string blob = EncodeResumeRecord(r);
            if (bad != -1) {  // the encoder takes 32 bits: write the wide value by hand
                const std::string key = inPart ? "4:Parti-1e" : "5:Indexi-1e";
                const auto at = blob.find(key);
                ASSERT_NE(at, std::string::npos);
                blob.replace(at, key.size(),
                             (inPart ? "4:Parti" : "5:Indexi") + std::to_string(bad) + "e");
            }
            ResumeReader damaged;
            ASSERT_TRUE(damaged.Parse(blob));
            EXPECT_TRUE(damaged.Pieces().empty()) << bad << (inPart ? " part" : " index");
        }
    }
}

TEST_F(ResumeTest, ACorruptPieceCacheRecordStopsLoadingThere) {
    const std::string content = MakeContent(8 * kShort, 13);
    const auto layout = test::MakeLayout(path_, kShort, content);
    std::string resume;
    {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        ASSERT_TRUE(map->Build(layout, std::nullopt, Options()));
        for (std::int32_t piece : {1, 3, 5}) {
            Deliver(*map, content, piece * 4);
            Deliver(*map, content, piece * 4 + 2);
        }
        resume = Stop(*map, host);
    }
    const auto loaded = [&] {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        EXPECT_TRUE(map->Build(layout, std::nullopt, Options(resume)));
        std::vector<std::int32_t> partial;
        for (std::int32_t i = 0; i < map->PieceCount(); ++i) {
            if (map->Partial(i)) {
                partial.push_back(i);
            }
        }
        return partial;
    };
    EXPECT_EQ(loaded(), (std::vector<std::int32_t>{1, 3, 5}));

    const std::string cache = test::ReadFile(dir_.File("task.kvinfodf"));
    const std::size_t record = 16 + 8 + 2 * (4 + kBlockSize);
    ASSERT_EQ(cache.size(), 3 * record);
    std::string corrupt = cache;
    corrupt[record + 4] ^= 0x01;  // the second record's checksum
    test::WriteFile(dir_.File("task.kvinfodf"), corrupt);
    EXPECT_EQ(loaded(), (std::vector<std::int32_t>{1}));

    corrupt = cache;
    corrupt[record + 8] = 100;  // an index past the pieces
    test::WriteFile(dir_.File("task.kvinfodf"), corrupt);
    EXPECT_EQ(loaded(), (std::vector<std::int32_t>{1}));

    test::WriteFile(dir_.File("task.kvinfodf"), cache.substr(0, record + 100));  // cut short
    EXPECT_EQ(loaded(), (std::vector<std::int32_t>{1}));
}

TEST_F(ResumeTest, AnInterruptedRecheckLeavesNoRecordBehind) {
    const std::string content = MakeContent(32 * kShort, 6);
    test::WriteFile(path_, content);
    test::RecordingHost host;
    host.stopAtRefresh = 2;
    auto map = test::NewPieces(host);
    ASSERT_TRUE(map->Build(test::MakeLayout(path_, kShort, content), std::nullopt, {}));
    EXPECT_FALSE(map->ResumeWritable());
    EXPECT_LT(map->PiecesDone(), 32);
    map->CloseFiles(true, false);
    EXPECT_TRUE(host.resume.empty());  // the next start checks again
}

TEST_F(ResumeTest, TrustedExistingFilesNeedEveryByteOnDisk) {
    const std::string content = MakeContent(6 * kShort + 10, 14);
    PieceMapOptions options;
    options.trustExisting = true;
    test::WriteFile(path_, content.substr(0, content.size() - 1));
    {
        test::RecordingHost host;
        auto map = test::NewPieces(host);
        EXPECT_FALSE(map->Build(test::MakeLayout(path_, kShort, content), std::nullopt, options));
        EXPECT_EQ(map->Storage().BytesRead(), 0u);
    }
    // Complete files are taken without hashing: damage in the middle goes unnoticed here
    // (the controller's MD5 check is what guards this mode).
    std::string damaged = content;
    damaged[kShort + 1] ^= 1;
    test::WriteFile(path_, damaged);
    test::RecordingHost host;
    auto map = test::NewPieces(host);
    ASSERT_TRUE(map->Build(test::MakeLayout(path_, kShort, content), std::nullopt, options));
    EXPECT_TRUE(map->AllDone());
    EXPECT_EQ(map->BytesDone(), content.size());
    EXPECT_EQ(map->Storage().BytesRead(), 2u * kShort + 10);  // first, last and middle piece
}

}  // namespace
}  // namespace koruvan::engine
