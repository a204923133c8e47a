#include "app/SecConfig.h"

#include "app/Base64.h"
#include "app/DocumentFetch.h"
#include "app/XmlText.h"
#include "engine/core/base/KoruvanLog.h"

namespace koruvan::app {
namespace {

constexpr int kLogCategory = 34;

// A Base64 text of the document decoded; empty when it is not Base64.
std::string Decoded(const std::string& text, const char* what) {
    auto bytes = Base64Decode(text);
    if (!bytes) {
        engine::WriteLog(std::string("sec config: ") + what + " is not Base64, taken as empty",
                         kLogCategory, kLogCategory);
        return {};
    }
    return std::move(*bytes);
}

// A header text with a line break or another control byte would end the request header
// early or smuggle a header in; such a text is taken as empty.
std::string HeaderText(const std::string& text, const char* what) {
    std::string value = Decoded(text, what);
    for (const char c : value) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\t') || b == 0x7F) {
            engine::WriteLog(
                std::string("sec config: ") + what + " holds control characters, taken as empty",
                kLogCategory, kLogCategory);
            return {};
        }
    }
    return value;
}

}  // namespace

SecConfigStore::SecConfigStore() : values_(std::make_shared<const SecConfigValues>()) {}

std::shared_ptr<const SecConfigValues> SecConfigStore::Current() const {
    std::lock_guard<std::mutex> guard(lock_);
    return values_;
}

void SecConfigStore::Apply(const SecConfigUpdate& update) {
    std::lock_guard<std::mutex> guard(lock_);
    auto next = std::make_shared<SecConfigValues>(*values_);
    if (update.secType) {
        next->secType = *update.secType;
    }
    if (update.md5key) {
        next->md5key = *update.md5key;
    }
    if (update.userAgent && update.referer) {
        next->userAgent = *update.userAgent;
        next->referer = *update.referer;
    }
    values_ = std::move(next);
}

void SecConfigStore::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    values_ = std::make_shared<const SecConfigValues>();
}

void SecConfigStore::SetUrl(std::string url) {
    std::lock_guard<std::mutex> guard(lock_);
    url_ = std::move(url);
}

std::string SecConfigStore::Url() const {
    std::lock_guard<std::mutex> guard(lock_);
    return url_;
}

SecConfigStore& ProcessSecConfig() noexcept {
    static SecConfigStore* store = new SecConfigStore;  // task threads may outlive main
    return *store;
}

std::optional<SecConfigUpdate> ReadSecConfigDocument(std::string_view xml, bool& headersComplete) {
    headersComplete = false;
    tinyxml2::XMLDocument doc;
    if (!ParseXml(xml, doc)) {
        return std::nullopt;
    }
    const tinyxml2::XMLElement* root = doc.RootElement();
    if (root == nullptr || std::string_view(root->Name()) != "project") {
        return std::nullopt;
    }
    SecConfigUpdate update;
    ForEachInRun(root, "sec", [&](const tinyxml2::XMLElement* sec) {
        const auto id = AttributeText(sec, "id");
        if (!id || id->empty()) {
            return false;
        }
        if (auto type = AttributeText(sec, "sec_type")) {
            engine::WriteLog(*type, kLogCategory, kLogCategory);
            update.secType = std::move(*type);
        }
        update.md5key = Decoded(ChildText(sec, "md5key"), "md5key");
        return true;
    });
    const tinyxml2::XMLElement* client = root->FirstChildElement("client");
    const tinyxml2::XMLElement* web = root->FirstChildElement("web");
    if (client != nullptr && web != nullptr) {
        update.userAgent = HeaderText(ElementText(client), "client");
        update.referer = HeaderText(ElementText(web), "web");
        headersComplete = true;
    }
    return update;
}

bool ParseSecConfig(SecConfigStore& store) {
    std::string body;
    std::string error;
    long status = 0;
    if (!FetchDocument(store.Url(), body, error, status, kSecConfigTimeoutSeconds)) {
        engine::WriteLog("get XML content failed", kLogCategory, kLogCategory);
        return false;
    }
    bool headersComplete = false;
    const auto update = ReadSecConfigDocument(body, headersComplete);
    if (!update) {
        return false;
    }
    store.Apply(*update);
    return headersComplete;
}

bool ParseSecConfig() {
    return ParseSecConfig(ProcessSecConfig());
}

}  // namespace koruvan::app
