// Fuzz target for the bencode reader and the torrent metainfo built on it.
//
// Each input is parsed whole and in chunks, always from a heap copy of exactly the given
// length so that AddressSanitizer catches any read past it. What parses is re-encoded;
// the encoding must parse again and re-encode to the same bytes. The whole input is also
// loaded as a metainfo, whose layout must be self-consistent.
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/TTorrent.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace koruvan::engine;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::unique_ptr<char[]> Copy(const std::uint8_t* data, std::size_t size) {
    auto copy = std::make_unique<char[]>(size == 0 ? 1 : size);
    if (size > 0) {
        std::memcpy(copy.get(), data, size);
    }
    return copy;
}

// Touches every lookup and text of the tree (bounded so that large inputs stay fast).
void Walk(QElement& e, int& budget) {
    if (--budget < 0) {
        return;
    }
    (void)e.ConvertedText();
    const std::int32_t n = e.Count();
    for (std::int32_t i = 0; i < n; ++i) {
        QElement* child = e.At(i);
        Check(child != nullptr && child->Parent() == &e);
        (void)e.Find(child->GetText().data(), child->GetTextLength());
        Check(e.NextOf(child) == e.At(i + 1));
        Walk(*child, budget);
    }
}

void ParseAndReencode(const char* text, std::int32_t len) {
    std::unique_ptr<QElement> root = ParseBencode(text, len);
    if (!root) {
        return;
    }
    Check(root->EncodedLength() > 0 && root->EncodedLength() <= len);
    Check(root->GetSource() == text);
    std::string once;
    Check(Encode(root.get(), once));
    const std::unique_ptr<QElement> again = ParseBencode(once);
    Check(again != nullptr);
    Check(again->EncodedLength() == static_cast<std::int32_t>(once.size()));
    Check(EncodedSize(again.get()) == static_cast<std::int32_t>(once.size()));
    std::string twice;
    Check(Encode(again.get(), twice));
    Check(twice == once);
    root->SetCodePage(936);
    int budget = 2000;
    Walk(*root, budget);
}

class FuzzHost final : public TorrentHost {
  public:
    std::string TargetFolder() const override { return "/fuzz/target"; }
    std::string TargetFile() const override { return {}; }
    void SetPhase(int) override {}
    void OnSourceUnreadable() override {}
    bool LoadKeyText(const std::string&) override { return false; }
    bool CreateFolder(const std::string&) override { return true; }  // no disk writes
    bool BuildLayout(const MetainfoLayout& layout, TRefObject*) override {
        Check(layout.pieceLength > 0 && layout.pieceCount > 0);
        Check(layout.pieceHashes.size() == layout.pieceCount * 20);
        std::uint64_t offset = 0;
        for (const MetainfoFile& file : layout.files) {
            Check(file.offset == offset);
            Check(file.fullPath.rfind(layout.targetFolder, 0) == 0 || !layout.multiFile);
            Check(file.fullPath.find("/../") == std::string::npos);
            offset += file.size;
        }
        Check(offset == layout.totalSize);
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > (1u << 20)) {
        return 0;
    }
    const auto whole = Copy(data, size);
    const auto len = static_cast<std::int32_t>(size);
    ParseAndReencode(whole.get(), len);

    // The same bytes in chunks whose size the first byte picks.
    if (size > 1) {
        const std::size_t chunk = 1 + data[0] % 64;
        for (std::size_t at = 1; at < size; at += chunk) {
            const std::size_t n = std::min(chunk, size - at);
            const auto part = Copy(data + at, n);
            ParseAndReencode(part.get(), static_cast<std::int32_t>(n));
        }
    }

    FuzzHost host;
    auto* torrent = new TTorrent(host);
    if (torrent->LoadFromData(reinterpret_cast<const std::uint8_t*>(whole.get()), len)) {
        Check(torrent->InfoHashHex().size() == 40);
        Check(!torrent->Trackers().empty());
    }
    torrent->Release();
    return 0;
}
