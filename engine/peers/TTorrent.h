// Torrent metainfo of a BitTorrent or P2SP task: trackers, descriptive texts, the code
// page of the texts and the 20-byte info-hash in three forms. The info dictionary becomes
// a MetainfoLayout that the task's piece map takes over through the TorrentHost.
#pragma once

#include "engine/core/base/TRefObject.h"
#include "engine/peers/QElement.h"
#include "engine/peers/TorrentHost.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace koruvan::engine {

// Task state code of a metainfo source that cannot be read (set by the host).
inline constexpr int kStateMetainfoUnreadable = 20211;

class TTorrent final : public TRefObject {
  public:
    using InfoHash = std::array<std::uint8_t, 20>;

    // `host` is the owning task; it must outlive the torrent.
    explicit TTorrent(TorrentHost& host) noexcept;

    // Loads from the metainfo data when there is any, else from the source text: a key
    // text (containing "$End$" after its first character) or a "file://" path.
    [[nodiscard]] bool Load();
    // "file://" paths only; "http://Kademlia/" and every other scheme are refused without
    // any state change. An unreadable file is reported to the host.
    [[nodiscard]] bool LoadFromUrl(std::string_view url);
    [[nodiscard]] bool LoadFromData(const std::uint8_t* data, std::int32_t len);
    [[nodiscard]] bool LoadFromData(std::string_view data);
    // Takes the metainfo from a parsed root dictionary whose source buffer is still alive.
    // On failure the torrent is reset.
    [[nodiscard]] bool Apply(QElement* root);

    // Replaces the counted reference to a piece map restored from a resume file.
    void SetPreviousPieces(TRefObject* pieces) noexcept;
    // Empties the texts, the creation date, the info-hash and the tracker list.
    void Reset() noexcept;

    void SetMetainfoData(std::string data) { metainfoData_ = std::move(data); }
    void SetSourceText(std::string text) { sourceText_ = std::move(text); }
    // A code page chosen before loading; 0 lets the metainfo choose.
    void SetCodePage(std::int32_t codePage) noexcept { codePage_ = codePage; }

    [[nodiscard]] std::int32_t CodePage() const noexcept { return codePage_; }
    [[nodiscard]] const std::string& Announce() const noexcept { return announce_; }
    [[nodiscard]] const std::string& Publisher() const noexcept { return publisher_; }
    [[nodiscard]] const std::string& PublisherUrl() const noexcept { return publisherUrl_; }
    [[nodiscard]] const std::string& Comment() const noexcept { return comment_; }
    [[nodiscard]] std::int64_t CreationDate() const noexcept { return creationDate_; }
    [[nodiscard]] const InfoHash& InfoHashBytes() const noexcept { return infoHash_; }
    // Percent-encoded for tracker requests: 0-9, A-Z, a-z as they are, others "%xx".
    [[nodiscard]] const std::string& InfoHashUrl() const noexcept { return infoHashUrl_; }
    [[nodiscard]] const std::string& InfoHashHex() const noexcept { return infoHashHex_; }
    // Announce URLs in order: "announce" first (also when empty), then "announce-list".
    [[nodiscard]] const std::vector<std::string>& Trackers() const noexcept { return trackers_; }
    [[nodiscard]] const std::string& MetainfoData() const noexcept { return metainfoData_; }
    [[nodiscard]] const std::string& SourceText() const noexcept { return sourceText_; }
    [[nodiscard]] TRefObject* PreviousPieces() const noexcept { return previousPieces_; }

  private:
    ~TTorrent() override;

    void SelectCodePage(QElement& root);
    void ReadTrackers(QElement& root);
    void WalkTrackerList(const QElement& container);
    void ReadTexts(QElement& root);
    void ReadInfo(const QElement& info);
    [[nodiscard]] bool BuildLayout(const QElement* info);

    TorrentHost& host_;
    std::int32_t codePage_ = 0;
    std::string announce_;
    std::string publisher_;
    std::string publisherUrl_;
    std::string comment_;
    std::int64_t creationDate_ = 0;
    InfoHash infoHash_{};
    std::string infoHashUrl_;
    std::string infoHashHex_;
    std::vector<std::string> trackers_;
    std::string metainfoData_;
    std::string sourceText_;
    TRefObject* previousPieces_ = nullptr;
};

}  // namespace koruvan::engine
