#include "engine/peers/TTorrent.h"

#include "engine/peers/BencodeCodec.h"
#include "engine/peers/BencodeText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace koruvan::engine {
namespace {

using test::Dict;
using test::List;
using test::Str;
using test::StrInt;

class FakeHost final : public TorrentHost {
  public:
    std::string TargetFolder() const override { return folder; }
    std::string TargetFile() const override { return file; }
    void SetPhase(int phase) override { phases.push_back(phase); }
    void OnSourceUnreadable() override { ++unreadable; }
    bool BuildLayout(const MetainfoLayout& l, TRefObject* previous) override {
        layout = l;
        previousSeen = previous;
        return accept;
    }
    bool LoadKeyText(const std::string& text) override {
        keyText = text;
        return true;
    }

    std::string folder;
    std::string file;
    bool accept = true;
    std::vector<int> phases;
    int unreadable = 0;
    std::optional<MetainfoLayout> layout;
    TRefObject* previousSeen = nullptr;
    std::string keyText;
};

struct TorrentDeleter {
    void operator()(TTorrent* t) const { t->Release(); }
};
using TorrentPtr = std::unique_ptr<TTorrent, TorrentDeleter>;

// A piece map stand-in that only counts references.
class CountedPieces final : public TRefObject {};

std::string Hashes(int pieces) {
    return std::string(static_cast<std::size_t>(pieces) * 20, 'h');
}

std::string SingleInfo(const std::string& name, std::int64_t length) {
    return Dict({StrInt("length", length), Str("name"), Str(name), StrInt("piece length", 16384),
                 Str("pieces"), Str(Hashes(1))});
}

std::string FileEntry(std::int64_t length, std::initializer_list<std::string> path) {
    return Dict({StrInt("length", length), Str("path"), List(path)});
}

std::string Metainfo(const std::string& info, const std::string& before = "") {
    return "d" + before + Str("info") + info + "e";
}

class TTorrentTest : public ::testing::Test {
  protected:
    void SetUp() override { host.folder = dir.Path(); }

    // Loads from an exact-size heap copy, so any read past the end is caught by ASan.
    bool Load(const std::string& data) {
        const auto copy = std::make_unique<std::uint8_t[]>(data.size());
        std::memcpy(copy.get(), data.data(), data.size());
        return torrent->LoadFromData(copy.get(), static_cast<std::int32_t>(data.size()));
    }

    test::TempDir dir;
    FakeHost host;
    TorrentPtr torrent{new TTorrent(host)};
};

TEST_F(TTorrentTest, SingleFileAbove32BitsWithAllItsPieceHashes) {
    const std::string info =
        Dict({StrInt("length", 4222222222), Str("name"), Str("vol1.cab"),
              StrInt("piece length", 2097152), Str("pieces"), Str(Hashes(2014))});
    ASSERT_TRUE(Load(Metainfo(info)));
    ASSERT_TRUE(host.layout.has_value());
    const MetainfoLayout& l = *host.layout;
    EXPECT_EQ(l.pieceCount, 2014u);
    EXPECT_EQ(l.pieceHashes.size(), 40280u);
    EXPECT_EQ(l.pieceLength, 2097152);
    EXPECT_EQ(l.totalSize, 4222222222u);
    ASSERT_EQ(l.files.size(), 1u);
    EXPECT_EQ(l.files[0].size, 4222222222u);
    EXPECT_EQ(l.files[0].fullPath, dir.Path() + "/vol1.cab");
    EXPECT_EQ(host.phases, (std::vector<int>{kPhaseParsingMetainfo, kPhaseMetainfoParsed}));

    // An explicit target file wins over the folder; the name stays the relative name.
    host.file = dir.File("renamed.bin");
    ASSERT_TRUE(Load(Metainfo(SingleInfo("", 10))));
    EXPECT_EQ(host.layout->files[0].fullPath, host.file);
    EXPECT_EQ(host.layout->files[0].relativeName, "strRecommend");
}

TEST_F(TTorrentTest, InfoHashCoversTheInfoBytesExactlyAsReceived) {
    const std::string info =
        "d6:lengthi1e4:name1:a12:piece lengthi1e6:pieces20:aaaaaaaaaaaaaaaaaaaae";
    ASSERT_TRUE(Load(Metainfo(info, Str("comment") + Str("x"))));
    EXPECT_EQ(torrent->InfoHashHex(), "6c75d6c2b65879af45f5faa2f1fac2fa0a570384");
    EXPECT_EQ(torrent->InfoHashUrl(), "lu%d6%c2%b6Xy%afE%f5%fa%a2%f1%fa%c2%fa%0aW%03%84");
    EXPECT_EQ(torrent->InfoHashBytes()[0], 0x6c);

    // Re-encoding a canonical metainfo keeps the hash; reordering info keys changes it.
    const std::string metainfo = Metainfo(info);
    std::string reencoded;
    ASSERT_TRUE(Encode(ParseBencode(metainfo).get(), reencoded));
    ASSERT_TRUE(Load(reencoded));
    EXPECT_EQ(torrent->InfoHashHex(), "6c75d6c2b65879af45f5faa2f1fac2fa0a570384");
    ASSERT_TRUE(
        Load(Metainfo("d4:name1:a6:lengthi1e12:piece lengthi1e6:pieces20:aaaaaaaaaaaaaaaaaaaae")));
    EXPECT_NE(torrent->InfoHashHex(), "6c75d6c2b65879af45f5faa2f1fac2fa0a570384");
    EXPECT_EQ(torrent->InfoHashHex().size(), 40u);
}

TEST_F(TTorrentTest, CodePageComesFromCodepageThenEncoding) {
    const std::string gbkName = "\xD6\xD0\xCE\xC4";  // 中文
    const std::string multi =
        Dict({Str("files"), List({FileEntry(3, {Str(gbkName), Str("a.txt")})}), Str("name"),
              Str(gbkName), StrInt("piece length", 16384), Str("pieces"), Str(Hashes(1))});
    ASSERT_TRUE(
        Load(Metainfo(multi, Str("comment") + Str(gbkName) + Str("encoding") + Str("GBK"))));
    EXPECT_EQ(torrent->CodePage(), 936);
    EXPECT_EQ(torrent->Comment(), "中文");
    EXPECT_EQ(host.layout->name, "中文");
    EXPECT_EQ(host.layout->files[0].relativeName, "中文/中文/a.txt");

    // "codepage" 950 overrides the "encoding" name (a fresh torrent: the choice sticks).
    TorrentPtr big5(new TTorrent(host));
    const std::string data = Metainfo(SingleInfo("\xA4\xA4\xA4\xE5", 1),
                                      StrInt("codepage", 950) + Str("encoding") + Str("GBK"));
    ASSERT_TRUE(big5->LoadFromData(data));
    EXPECT_EQ(big5->CodePage(), 950);
    EXPECT_EQ(host.layout->name, "中文");

    // UTF-8 is not in the table: the bytes are used as they stand, even invalid ones.
    TorrentPtr utf8(new TTorrent(host));
    ASSERT_TRUE(utf8->LoadFromData(
        Metainfo(SingleInfo("\xE4\xB8\xAD\xFF", 1), Str("encoding") + Str("UTF-8"))));
    EXPECT_EQ(utf8->CodePage(), 0);
    EXPECT_EQ(host.layout->name, "\xE4\xB8\xAD\xFF");
}

TEST_F(TTorrentTest, TrackersAreCleanedAndTheListWalkHonoursLabels) {
    const std::string lists =
        List({List({Str("Tracker"), Str("http://a/ann"), Str("Name"), Str("http://title")}),
              List({Str("##udp://b:80/|"), List({Str(std::string("http://c/x \0junk", 16))})}),
              Dict({Str("k"), Str("http://a/ann")}), Str("x")});
    ASSERT_TRUE(Load(Metainfo(SingleInfo("f", 1), Str("announce") + Str(" http://t/announce|") +
                                                      Str("announce-list") + lists)));
    EXPECT_EQ(torrent->Announce(), "http://t/announce");
    EXPECT_EQ(torrent->Trackers(),
              (std::vector<std::string>{"http://t/announce", "http://a/ann", "udp://b:80/",
                                        "http://c/x", "http://a/ann"}));

    // The announce entry always comes first, empty when the metainfo has none.
    ASSERT_TRUE(Load(Metainfo(SingleInfo("f", 1), Str("announce-list") + List({Str("h")}))));
    EXPECT_EQ(torrent->Trackers(), (std::vector<std::string>{""}));
}

TEST_F(TTorrentTest, TextsAndRootKeysMatchedAnywhereInTheSequence) {
    const std::string info =
        Dict({StrInt("length", 1), Str("name"), Str("f"), StrInt("piece length", 1), Str("pieces"),
              Str(Hashes(1)), Str("publisher"), Str("inner pub"), Str("publisher-url"),
              Str("http://inner")});
    ASSERT_TRUE(Load(Metainfo(info, StrInt("creation date", 4102444800) + Str("publisher") +
                                        Str("outer pub") + Str("comment") + Str("announce") +
                                        Str("announce") + Str("http://real"))));
    EXPECT_EQ(torrent->CreationDate(), 4102444800);
    EXPECT_EQ(torrent->Publisher(), "outer pub");
    EXPECT_EQ(torrent->PublisherUrl(), "http://inner");  // taken from the info dictionary
    // "comment"'s value reads "announce", so it is taken for the announce key.
    EXPECT_EQ(torrent->Comment(), "announce");
    EXPECT_EQ(torrent->Announce(), "unce");
}

TEST_F(TTorrentTest, MultiFileRecordsAndFolderEntries) {
    host.folder = dir.Path() + "/Game";  // already ends with the download's own folder
    const std::string info = Dict(
        {Str("files"),
         List({FileEntry(40000, {Str("a.bin")}), FileEntry(0, {Str("logs"), Str("")}),
               FileEntry(30000, {Str("sub"), Str("b.bin")}),
               FileEntry(5, {Str("late"), Str("")}),  // a folder with a size
               FileEntry(1, {Str("never.bin")})}),
         Str("name"), Str("Game"), StrInt("piece length", 16384), Str("pieces"), Str(Hashes(5))});
    ASSERT_TRUE(Load(Metainfo(info)));
    const MetainfoLayout& l = *host.layout;
    EXPECT_EQ(l.targetFolder, dir.Path() + "/");
    ASSERT_EQ(l.files.size(), 2u);  // the walk stopped at the sized folder entry
    EXPECT_EQ(l.files[0].fullPath, dir.Path() + "/Game/a.bin");
    EXPECT_EQ(l.files[1].relativeName, "Game/sub/b.bin");
    EXPECT_EQ(l.files[1].index, 1);
    EXPECT_EQ(l.files[1].offset, 40000u);
    EXPECT_EQ(l.files[1].firstPiece, 2u);
    EXPECT_EQ(l.totalSize, 70000u);
    EXPECT_TRUE(std::filesystem::is_directory(dir.Path() + "/Game/logs"));
    EXPECT_FALSE(std::filesystem::exists(dir.Path() + "/Game/late"));
}

TEST_F(TTorrentTest, UnusableMetainfoFailsAndResetsTheTorrent) {
    const std::string multiHead =
        Str("name") + Str("d") + StrInt("piece length", 16384) + Str("pieces") + Str(Hashes(1));
    const std::string bad[] = {
        "l1:ae",                                   // not a dictionary
        Dict({Str("announce"), Str("http://t")}),  // no info
        Metainfo(List({})),                        // info not a dictionary
        Metainfo(
            Dict({StrInt("length", 1), StrInt("piece length", 0), Str("pieces"), Str(Hashes(1))})),
        Metainfo(Dict({StrInt("length", 1), StrInt("piece length", 1), Str("pieces"),
                       Str(std::string(30, 'h'))})),
        Metainfo(SingleInfo("f", 0)),
        Metainfo("d" + Str("files") + List({}) + multiHead + "e"),
        // Names that would leave the target folder.
        Metainfo(SingleInfo("..", 1)),
        Metainfo("d" + Str("files") + List({FileEntry(1, {Str(".."), Str("x")})}) + multiHead +
                 "e"),
        Metainfo("d" + Str("files") + List({FileEntry(1, {Str("a/../../x")})}) + multiHead + "e"),
        // Without a name, an empty first component would start the path at the root.
        Metainfo("d" + Str("files") + List({FileEntry(1, {Str(""), Str("etc"), Str("x")})}) +
                 Str("name") + Str("") + StrInt("piece length", 16384) + Str("pieces") +
                 Str(Hashes(1)) + "e"),
        Metainfo("d" + Str("files") + List({FileEntry(1, {Str("x")}), FileEntry(1, {Str("x")})}) +
                 multiHead + "e"),
    };
    for (const std::string& data : bad) {
        ASSERT_TRUE(Load(Metainfo(SingleInfo("ok", 1), Str("announce") + Str("http://t"))));
        EXPECT_FALSE(Load(data)) << data;
        EXPECT_TRUE(torrent->Trackers().empty()) << data;
        EXPECT_EQ(torrent->InfoHashHex(), "") << data;
        EXPECT_EQ(torrent->InfoHashBytes(), TTorrent::InfoHash{}) << data;
    }
    host.accept = false;  // the piece map refuses the layout
    EXPECT_FALSE(Load(Metainfo(SingleInfo("ok", 1))));
    EXPECT_TRUE(torrent->InfoHashHex().empty());
}

TEST_F(TTorrentTest, EveryTruncationIsRefusedWithoutALayout) {
    const std::string data = Metainfo(SingleInfo("f", 1), Str("announce") + Str("http://t/a"));
    for (std::size_t cut = 1; cut < data.size(); ++cut) {
        host.layout.reset();
        EXPECT_FALSE(Load(data.substr(0, cut))) << cut;
        EXPECT_FALSE(host.layout.has_value()) << cut;
    }
}

TEST_F(TTorrentTest, PreviousPiecesAreCountedAndReleasedOnSuccessOnly) {
    auto* pieces = new CountedPieces;
    torrent->SetPreviousPieces(pieces);
    EXPECT_EQ(pieces->RefCount(), 2);
    EXPECT_FALSE(Load(Metainfo(SingleInfo("f", 0))));
    EXPECT_EQ(torrent->PreviousPieces(), pieces);
    ASSERT_TRUE(Load(Metainfo(SingleInfo("f", 1))));
    EXPECT_EQ(host.previousSeen, pieces);  // handed over as the starting state
    EXPECT_EQ(torrent->PreviousPieces(), nullptr);
    EXPECT_EQ(pieces->RefCount(), 1);

    torrent->SetPreviousPieces(pieces);
    torrent.reset();  // the torrent's last reference goes: it lets go of the pieces too
    EXPECT_EQ(pieces->RefCount(), 1);
    pieces->Release();
}

TEST_F(TTorrentTest, SourcesFileUrlsKeyTextsAndRefusedSchemes) {
    EXPECT_FALSE(torrent->LoadFromUrl("http://Kademlia/0123"));
    EXPECT_FALSE(torrent->LoadFromUrl("HTTP://KADEMLIA/0123"));
    EXPECT_FALSE(torrent->LoadFromUrl("http://host/x.torrent"));
    EXPECT_TRUE(host.phases.empty());
    EXPECT_EQ(host.unreadable, 0);

    EXPECT_FALSE(torrent->LoadFromUrl("file://" + dir.File("missing.torrent")));
    EXPECT_FALSE(torrent->LoadFromUrl("file://" + dir.Path()));  // a folder
    EXPECT_EQ(host.unreadable, 2);

    test::WriteFile(dir.File("t.torrent"), Metainfo(SingleInfo("from-file", 1)));
    torrent->SetSourceText("file://" + dir.File("t.torrent"));
    ASSERT_TRUE(torrent->Load());
    EXPECT_EQ(host.layout->name, "from-file");

    // Metainfo data wins over the source text.
    torrent->SetMetainfoData(Metainfo(SingleInfo("from-data", 1)));
    ASSERT_TRUE(torrent->Load());
    EXPECT_EQ(host.layout->name, "from-data");

    // A key text goes to the piece map's template reader, but not one that merely starts
    // with the end marker.
    host.phases.clear();
    torrent->SetSourceText("$Hash$00$Size$1$Length$1$Tracker$http$$$t$End$");
    ASSERT_TRUE(torrent->Load());
    EXPECT_EQ(host.keyText, torrent->SourceText());
    EXPECT_EQ(host.phases, (std::vector<int>{kPhaseParsingMetainfo, kPhaseMetainfoParsed}));
    torrent->SetSourceText("$End$");
    host.keyText.clear();
    EXPECT_TRUE(torrent->Load());  // the metainfo data again
    EXPECT_TRUE(host.keyText.empty());
}

}  // namespace
}  // namespace koruvan::engine
