#include "app/ResourceList.h"

#include <array>

#include "app/DocumentFetch.h"
#include "app/UrlText.h"
#include "app/XmlText.h"
#include "engine/core/base/KoruvanLog.h"

namespace koruvan::app {
namespace {

constexpr int kLogCategory = 34;
constexpr int kFetchFailureCategory = 38;

using Offers = std::array<std::vector<SourceOffer>, kFileCount>;

std::string_view TrimBlanks(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// At most `limit` bytes, cut before a UTF-8 sequence rather than inside one.
std::string Truncated(std::string text, std::size_t limit) {
    if (text.size() <= limit) {
        return text;
    }
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
        --end;
    }
    text.resize(end);
    return text;
}

// The file whose plan URL the resource's "task" names exactly; -1 for none.
int FileOfTask(const DownloadPlan& plan, const std::string& task) {
    for (int i = 0; i < kFileCount; ++i) {
        if (plan.files[static_cast<std::size_t>(i)].url == task) {
            return i;
        }
    }
    return -1;
}

// The sources of one "cdn" element, when it is complete and open. Each "ip" gives
// "https://" + ip + middle-dir + file-name; one that would not be a clean https URL on that
// very host (blanks, line breaks, a middle-dir without its leading "/") is skipped, and so
// is a CDN whose host name could not go into a request header.
void ReadCdn(const tinyxml2::XMLElement* cdn, std::vector<SourceOffer>& out) {
    const std::string id = AttributeText(cdn, "id").value_or("");
    const std::string name = AttributeText(cdn, "name").value_or("");
    const std::string middleDir = AttributeText(cdn, "middle-dir").value_or("");
    const std::string fileName = AttributeText(cdn, "file-name").value_or("");
    const std::string hostName = AttributeText(cdn, "host-name").value_or("null");
    const bool open = ParseXmlBool(AttributeText(cdn, "open").value_or("")).value_or(false);
    if (id.empty() || name.empty() || middleDir.empty() || fileName.empty() || !open) {
        return;
    }
    if (hostName.empty() || !IsPlainToken(hostName)) {
        engine::WriteLog("resource list: unusable host-name of cdn " + id, kLogCategory,
                         kLogCategory);
        return;
    }
    ForEachInRun(cdn, "ip", [&](const tinyxml2::XMLElement* ip) {
        const std::string address(TrimBlanks(ElementText(ip)));
        if (address.empty()) {
            return true;
        }
        std::string url = "https://" + address + middleDir + fileName;
        const auto parts = ParseWebUrl(url);
        if (!parts || parts->authority != address) {
            engine::WriteLog("resource list: unusable source of cdn " + id, kLogCategory,
                             kLogCategory);
            return true;
        }
        out.push_back(SourceOffer{std::move(url), hostName});
        return true;
    });
}

Offers ReadResources(const tinyxml2::XMLElement* root, const DownloadPlan& plan,
                     ResourceListTarget& target) {
    Offers offers;
    ForEachInRun(root->FirstChildElement("resources"), "resource",
                 [&](const tinyxml2::XMLElement* resource) {
                     const auto id = AttributeText(resource, "id");
                     if (!id || id->empty()) {
                         return false;
                     }
                     const int file =
                         FileOfTask(plan, AttributeText(resource, "task").value_or(""));
                     if (file < 0 || !target.WantsSources(file)) {
                         return true;
                     }
                     ForEachInRun(resource, "cdn", [&](const tinyxml2::XMLElement* cdn) {
                         ReadCdn(cdn, offers[static_cast<std::size_t>(file)]);
                         return true;
                     });
                     return true;
                 });
    return offers;
}

}  // namespace

std::optional<ExpiryNotice> ReadExpiry(std::string_view xml) {
    tinyxml2::XMLDocument doc;
    if (!ParseXml(xml, doc) || doc.RootElement() == nullptr) {
        return std::nullopt;
    }
    const tinyxml2::XMLElement* configs = doc.RootElement()->FirstChildElement("configs");
    const tinyxml2::XMLElement* info =
        configs != nullptr ? configs->FirstChildElement("expire-info") : nullptr;
    if (info == nullptr || ChildText(info, "expired") != "true") {
        return std::nullopt;
    }
    ExpiryNotice notice;
    notice.message = Truncated(ChildText(info, "message"), kMaxExpiryTextBytes);
    notice.url = ChildText(info, "url");
    // The URL is opened on the desktop: only a web page, never a local file or program.
    if (notice.url.size() > kMaxExpiryTextBytes ||
        !IsUrlWithScheme(notice.url, {"http", "https"})) {
        notice.url.clear();
    }
    return notice;
}

std::optional<ExpiryNotice> CheckExpiry(const std::string& resourceListUrl) {
    std::string body;
    std::string error;
    long status = 0;
    if (!FetchDocument(resourceListUrl, body, error, status, kExpiryCheckTimeoutSeconds)) {
        return std::nullopt;
    }
    return ReadExpiry(body);
}

int ApplyResourceList(std::string_view xml, const DownloadPlan& plan, ResourceListTarget& target) {
    tinyxml2::XMLDocument doc;
    if (!ParseXml(xml, doc)) {
        return kRefreshUnusable;
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (root == nullptr || std::string_view(root->Name()) != "project") {
        return kRefreshUnusable;
    }
    const tinyxml2::XMLElement* configs = root->FirstChildElement("configs");
    const tinyxml2::XMLElement* p2p =
        configs != nullptr ? configs->FirstChildElement("p2p-switch") : nullptr;
    if (p2p == nullptr) {
        return kRefreshUnusable;
    }
    const bool on = ElementText(p2p) == "on";
    engine::WriteLog(on ? "启用P2P功能" : "禁用P2P功能", kLogCategory, kLogCategory);
    target.SetP2P(on);

    const Offers offers = ReadResources(root, plan, target);
    std::size_t handedOver = 0;
    for (int i = 0; i < kFileCount; ++i) {
        const auto& sources = offers[static_cast<std::size_t>(i)];
        if (!sources.empty() && target.HandOver(i, sources) == 0) {
            handedOver += sources.size();
        }
    }
    return handedOver > 0 ? kRefreshHandedOver : kRefreshUnusable;
}

int RefreshResourceList(const DownloadPlan& plan, ResourceListTarget& target) noexcept {
    try {
        std::string body;
        std::string error;
        long status = 0;
        if (!FetchDocument(plan.resourceListUrl, body, error, status,
                           kResourceListTimeoutSeconds)) {
            engine::WriteLog("Seek res FAILED with XML content failed", kFetchFailureCategory,
                             kFetchFailureCategory);
            return kRefreshFetchFailed;
        }
        return ApplyResourceList(body, plan, target);
    } catch (...) {
        return kRefreshException;
    }
}

}  // namespace koruvan::app
