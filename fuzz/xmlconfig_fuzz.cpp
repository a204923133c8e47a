// The configuration documents from the downloader service: the sec configuration, the
// expiry notice and the resource list, plus URL signing of the texts they carry.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/ResourceList.h"
#include "app/SecConfig.h"
#include "app/UrlSigning.h"
#include "app/UrlText.h"

namespace {

class Target final : public koruvan::app::ResourceListTarget {
  public:
    void SetP2P(bool) override {}
    bool WantsSources(int index) override { return index != 3; }
    std::int32_t HandOver(int, const std::vector<koruvan::app::SourceOffer>& sources) override {
        for (const auto& s : sources) {
            // Sources must be clean https URLs and one-token host names.
            if (!koruvan::app::IsUrlWithScheme(s.url, {"https"}) ||
                !koruvan::app::IsPlainToken(s.hostName)) {
                __builtin_trap();
            }
        }
        return 0;
    }
};

koruvan::app::DownloadPlan MakePlan() {
    koruvan::app::DownloadPlan plan;
    for (int i = 0; i < koruvan::app::kFileCount; ++i) {
        plan.files[static_cast<std::size_t>(i)].url =
            "https://cdn.koruvan.example/vemo047/data047.00" + std::to_string(i) + ".cab";
    }
    return plan;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const koruvan::app::DownloadPlan plan = MakePlan();
    const std::string_view xml(reinterpret_cast<const char*>(data), size);
    bool complete = false;
    if (const auto update = koruvan::app::ReadSecConfigDocument(xml, complete)) {
        koruvan::app::SecConfigStore store;
        store.Apply(*update);
        const auto values = store.Current();
        (void)koruvan::app::SignUrlPath(plan.files[1].url, values->md5key, values->secType, 1);
    }
    (void)koruvan::app::ReadExpiry(xml);
    Target target;
    (void)koruvan::app::ApplyResourceList(xml, plan, target);
    (void)koruvan::app::SignUrlPath(xml, "key", "A0", 1752229800);
    return 0;
}
