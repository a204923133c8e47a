#include "engine/peers/TTorrent.h"

#include "engine/peers/BencodeCodec.h"
#include "platform/CodePage.h"
#include "platform/Paths.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <system_error>

namespace koruvan::engine {
namespace {

// A metainfo file larger than this is not a metainfo (a 4 GB download with 256 KiB pieces
// needs about 320 KB); reading it whole would only waste memory.
constexpr std::uintmax_t kMaxMetainfoFileBytes = 256u * 1024 * 1024;

constexpr std::string_view kKeyTextEnd = "$End$";
constexpr std::string_view kKademliaPrefix = "http://Kademlia/";
constexpr std::string_view kFilePrefix = "file://";

bool StartsWithNoCase(std::string_view s, std::string_view prefix) noexcept {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(s[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i]))) {
            return false;
        }
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

std::string_view Trim(std::string_view s) noexcept {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!s.empty() && blank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && blank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

// Tracker texts in the wild carry garbage around the URL: it starts at the first 'h' or
// 'u' (of "http" or "udp"), trailing '|' separators are dropped, and anything shorter
// than two characters is no URL.
std::string CleanTrackerUrl(std::string_view text) {
    text = Trim(text.substr(0, text.find('\0')));  // a URL ends at a NUL byte
    const std::size_t start = text.find_first_of("hHuU");
    if (start == std::string_view::npos) {
        return {};
    }
    text.remove_prefix(start);
    while (!text.empty() && text.back() == '|') {
        text.remove_suffix(1);
    }
    text = Trim(text);
    return text.size() < 2 ? std::string() : std::string(text);
}

// The code page an "encoding" name stands for; 0 for names the table does not know
// (UTF-8 among them: such texts are used as their bytes stand).
std::int32_t CodePageOfEncoding(std::string_view name) noexcept {
    if (EqualsNoCase(name, "GBK")) {
        return platform::kCodePageGbk;
    }
    if (EqualsNoCase(name, "BIG5")) {
        return platform::kCodePageBig5;
    }
    if (EqualsNoCase(name, "KOR")) {
        return platform::kCodePageKorean;
    }
    if (EqualsNoCase(name, "Shift-JIS")) {
        return platform::kCodePageShiftJis;
    }
    return 0;
}

// Root keys are matched anywhere in the flat key/value sequence; the value follows.
QElement* ValueAfter(QElement& dict, const char* key) noexcept {
    QElement* k = dict.FindString(key);
    return k != nullptr ? dict.NextOf(k) : nullptr;
}

std::string ConvertedOrEmpty(const QElement* e) {
    return e != nullptr ? e->ConvertedText() : std::string();
}

bool ReadWholeFile(const std::string& path, std::string& out) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return false;
    }
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxMetainfoFileBytes) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(static_cast<std::size_t>(size), '\0');
    in.read(out.data(), static_cast<std::streamsize>(size));
    return static_cast<std::uintmax_t>(in.gcount()) == size;
}

}  // namespace

bool TorrentHost::CreateFolder(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec;
}

TTorrent::TTorrent(TorrentHost& host) noexcept : host_(host) {}

TTorrent::~TTorrent() {
    SetPreviousPieces(nullptr);
}

void TTorrent::SetPreviousPieces(TRefObject* pieces) noexcept {
    if (pieces != nullptr) {
        pieces->AddRef();
    }
    if (previousPieces_ != nullptr) {
        previousPieces_->Release();
    }
    previousPieces_ = pieces;
}

void TTorrent::Reset() noexcept {
    announce_.clear();
    publisher_.clear();
    publisherUrl_.clear();
    comment_.clear();
    creationDate_ = 0;
    infoHash_.fill(0);
    infoHashUrl_.clear();
    infoHashHex_.clear();
    trackers_.clear();
}

// --- loading ---------------------------------------------------------------------------

bool TTorrent::Load() {
    if (sourceText_.find(kKeyTextEnd, 1) != std::string::npos) {
        host_.SetPhase(kPhaseParsingMetainfo);
        const bool ok = host_.LoadKeyText(sourceText_);
        host_.SetPhase(kPhaseMetainfoParsed);
        return ok;
    }
    if (metainfoData_.empty()) {
        return LoadFromUrl(sourceText_);
    }
    return LoadFromData(metainfoData_);
}

bool TTorrent::LoadFromUrl(std::string_view url) {
    if (StartsWithNoCase(url, kKademliaPrefix) || !StartsWithNoCase(url, kFilePrefix)) {
        return false;
    }
    std::string bytes;
    if (!ReadWholeFile(std::string(url.substr(kFilePrefix.size())), bytes)) {
        host_.OnSourceUnreadable();
        return false;
    }
    return LoadFromData(bytes);
}

bool TTorrent::LoadFromData(std::string_view data) {
    if (data.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        return false;
    }
    return LoadFromData(reinterpret_cast<const std::uint8_t*>(data.data()),
                        static_cast<std::int32_t>(data.size()));
}

bool TTorrent::LoadFromData(const std::uint8_t* data, std::int32_t len) {
    if (data == nullptr || len <= 0) {
        return false;
    }
    host_.SetPhase(kPhaseParsingMetainfo);
    Reset();
    bool ok = false;
    const auto* text = reinterpret_cast<const char*>(data);
    if (text[0] == 'd' || text[0] == 'D') {
        const std::unique_ptr<QElement> root = ParseBencode(text, len);
        ok = root != nullptr && Apply(root.get());
    }
    host_.SetPhase(kPhaseMetainfoParsed);
    return ok;
}

// --- the metainfo ----------------------------------------------------------------------

bool TTorrent::Apply(QElement* root) {
    Reset();
    if (root == nullptr || root->ValidType() != kElementDictionary) {
        return false;
    }
    SelectCodePage(*root);
    ReadTrackers(*root);
    ReadTexts(*root);
    QElement* info = ValueAfter(*root, "info");
    // The info-hash covers the bytes as received, so the dictionary must come from a buffer.
    if (info != nullptr && (info->ValidType() != kElementDictionary ||
                            info->GetSource() == nullptr || info->EncodedLength() < 1)) {
        info = nullptr;
    }
    if (info != nullptr) {
        ReadInfo(*info);
    }
    if (!BuildLayout(info)) {
        Reset();
        return false;
    }
    SetPreviousPieces(nullptr);
    return true;
}

void TTorrent::SelectCodePage(QElement& root) {
    if (codePage_ == 0) {
        const QElement* byNumber = root.FindString("codepage");
        const std::int64_t number = byNumber != nullptr ? byNumber->GetInteger() : 0;
        if (number != 0 && number >= std::numeric_limits<std::int32_t>::min() &&
            number <= std::numeric_limits<std::int32_t>::max()) {
            codePage_ = static_cast<std::int32_t>(number);
        } else if (const QElement* name = ValueAfter(root, "encoding")) {
            codePage_ = CodePageOfEncoding(name->GetText());
        }
    }
    if (codePage_ != 0) {
        root.SetCodePage(codePage_);
    }
}

void TTorrent::ReadTrackers(QElement& root) {
    const QElement* announce = ValueAfter(root, "announce");
    announce_ = CleanTrackerUrl(announce != nullptr ? announce->GetText() : std::string_view());
    trackers_.push_back(announce_);
    if (const QElement* list = ValueAfter(root, "announce-list")) {
        WalkTrackerList(*list);
    }
}

// Tracker lists come in several shapes; texts label their neighbours: "Tracker" is a
// label to skip, and "Name" starts a title, which ends the walk of that container.
void TTorrent::WalkTrackerList(const QElement& container) {
    const std::int32_t n = container.Count();
    for (std::int32_t i = 0; i < n; ++i) {
        const QElement* child = container.At(i);
        if (child->Type() != kElementString) {
            WalkTrackerList(*child);
            continue;
        }
        const std::string_view text = child->GetText();
        if (text == "Tracker") {
            continue;
        }
        if (text == "Name") {
            return;
        }
        std::string url = CleanTrackerUrl(text);
        if (!url.empty()) {
            trackers_.push_back(std::move(url));
        }
    }
}

void TTorrent::ReadTexts(QElement& root) {
    comment_ = ConvertedOrEmpty(ValueAfter(root, "comment"));
    publisher_ = ConvertedOrEmpty(ValueAfter(root, "publisher"));
    publisherUrl_ = ConvertedOrEmpty(ValueAfter(root, "publisher-url"));
    const QElement* date = root.FindString("creation date");
    creationDate_ = date != nullptr ? date->GetInteger() : 0;
}

void TTorrent::ReadInfo(const QElement& info) {
    unsigned int size = 0;
    if (EVP_Digest(info.GetSource(), static_cast<std::size_t>(info.EncodedLength()),
                   infoHash_.data(), &size, EVP_sha1(), nullptr) != 1 ||
        size != infoHash_.size()) {
        infoHash_.fill(0);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    for (const std::uint8_t b : infoHash_) {
        infoHashHex_.push_back(kHex[b >> 4]);
        infoHashHex_.push_back(kHex[b & 0x0F]);
        if ((b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z')) {
            infoHashUrl_.push_back(static_cast<char>(b));
        } else {
            infoHashUrl_.push_back('%');
            infoHashUrl_.push_back(kHex[b >> 4]);
            infoHashUrl_.push_back(kHex[b & 0x0F]);
        }
    }
    if (publisher_.empty()) {
        publisher_ = ConvertedOrEmpty(info.Find("publisher"));
    }
    if (publisherUrl_.empty()) {
        publisherUrl_ = ConvertedOrEmpty(info.Find("publisher-url"));
    }
}

bool TTorrent::BuildLayout(const QElement* info) {
    MetainfoLayout layout;
    if (!BuildMetainfoLayout(info, host_.TargetFolder(), host_.TargetFile(), layout)) {
        return false;
    }
    for (const std::string& folder : layout.folders) {
        // Each folder lies below the target folder; none is made through a planted link.
        const auto levels = static_cast<std::size_t>(
            std::count(folder.begin() + static_cast<std::ptrdiff_t>(layout.targetFolder.size()),
                       folder.end(), '/'));
        if (!platform::LinkAmongLastFolders(folder, levels)) {
            (void)host_.CreateFolder(folder);
        }
    }
    return host_.BuildLayout(layout, previousPieces_);
}

}  // namespace koruvan::engine
