// The resource list: a document on the downloader service that can declare this downloader
// expired, switches P2P on or off, and offers extra CDN sources per file.
//
//   <project>
//     <configs>
//       <p2p-switch>on</p2p-switch>
//       <expire-info><expired>false</expired><message/><url/></expire-info>
//     </configs>
//     <resources>
//       <resource id="1" task="https://cdn…/vemo047/data047.001.cab">
//         <cdn id="1" name="…" middle-dir="/vemo047/" file-name="data047.001.cab"
//              host-name="cdn.example" open="true"><ip>192.0.2.7</ip>…</cdn>
//       </resource>
//     </resources>
//   </project>
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Plan.h"

namespace koruvan::app {

// The longest expiry message or URL passed on.
inline constexpr std::size_t kMaxExpiryTextBytes = 4095;

struct ExpiryNotice {
    std::string message;
    std::string url;  // http(s) only; empty when the document named none or something else
};

// The expiry part of a resource-list document: a notice when configs/expire-info/expired
// says exactly "true", else nullopt (also for a document that is not XML). The root's name
// is not checked.
[[nodiscard]] std::optional<ExpiryNotice> ReadExpiry(std::string_view xml);

// Fetches the resource list (2 s time-out) and reads its expiry part; a failed fetch counts
// as not expired.
[[nodiscard]] std::optional<ExpiryNotice> CheckExpiry(const std::string& resourceListUrl);

// One extra source for a file: an https URL and the host name to send in its requests
// ("null": none).
struct SourceOffer {
    std::string url;
    std::string hostName;

    bool operator==(const SourceOffer&) const = default;
};

// What the resource list acts on; the download controller implements it.
class ResourceListTarget {
  public:
    virtual ~ResourceListTarget() = default;
    // The P2P switch as the list sets it (the controller keeps it and applies it at once).
    virtual void SetP2P(bool on) = 0;
    // Whether file `index` takes extra sources: not done yet, or the file being verified.
    [[nodiscard]] virtual bool WantsSources(int index) = 0;
    // Replaces the extra sources of file `index`'s task; the engine's status (0: taken).
    [[nodiscard]] virtual std::int32_t HandOver(int index,
                                                const std::vector<SourceOffer>& sources) = 0;
};

// Result codes of a refresh.
inline constexpr int kRefreshHandedOver = 0;
inline constexpr int kRefreshFetchFailed = -1;
inline constexpr int kRefreshUnusable = -2;
inline constexpr int kRefreshException = -3;

// Applies a resource-list document to `target` for the files of `plan`: the P2P switch
// ("on" exactly turns it on, any other text off), then the sources of every open CDN of
// every resource whose "task" is exactly one of the plan's URLs. All sources of one file
// are handed over together. 0 when at least one source was taken, else -2 (also for a
// document without a "project" root or without configs/p2p-switch).
[[nodiscard]] int ApplyResourceList(std::string_view xml, const DownloadPlan& plan,
                                    ResourceListTarget& target);

// Fetches the list (no time-out) and applies it: 0, -1 when the fetch failed, -2, or -3
// when something threw. Runs on a thread of its own.
[[nodiscard]] int RefreshResourceList(const DownloadPlan& plan,
                                      ResourceListTarget& target) noexcept;

}  // namespace koruvan::app
