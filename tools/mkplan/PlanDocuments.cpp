#include "tools/mkplan/PlanDocuments.h"

#include <tinyxml2.h>

#include <memory>

#include "app/Base64.h"
#include "engine/peers/BencodeCodec.h"
#include "engine/peers/TTorrent.h"

namespace koruvan::tools {
namespace {

using engine::QElement;

std::int32_t Length(std::string_view text) {
    return static_cast<std::int32_t>(text.size());
}

void AddText(QElement& container, std::string_view text) {
    container.AppendString(text.data(), Length(text));
}

// A key whose integer value travels glued to it, as the engine's dialect writes integers.
void AddInteger(QElement& dictionary, std::string_view key, std::int64_t value) {
    dictionary.AppendString(key.data(), Length(key), value, true);
}

std::unique_ptr<QElement> InfoDictionary(std::string_view name, const FileDigest& file,
                                         std::int32_t pieceLength) {
    auto info = engine::NewDictionary();
    AddInteger(*info, "length", static_cast<std::int64_t>(file.size));
    AddText(*info, "name");
    AddText(*info, name);
    AddInteger(*info, "piece length", pieceLength);
    AddText(*info, "pieces");
    AddText(*info, file.pieceHashes);
    AddInteger(*info, "private", 0);
    return info;
}

// Accepts any layout and remembers it; touches no file.
class LayoutProbe final : public engine::TorrentHost {
  public:
    std::string TargetFolder() const override { return "bundle"; }
    std::string TargetFile() const override { return {}; }
    void SetPhase(int) override {}
    void OnSourceUnreadable() override {}
    bool BuildLayout(const engine::MetainfoLayout& l, engine::TRefObject*) override {
        layout = l;
        return true;
    }
    bool LoadKeyText(const std::string&) override { return false; }
    bool CreateFolder(const std::string&) override { return false; }

    engine::MetainfoLayout layout;
};

void Element(tinyxml2::XMLPrinter& out, const char* name, std::string_view text) {
    out.OpenElement(name);
    out.PushText(std::string(text).c_str());
    out.CloseElement();
}

void WriteCdn(tinyxml2::XMLPrinter& out, std::size_t index, const Mirror& mirror,
              const std::string& fileName) {
    const std::string id = std::to_string(index + 1);
    out.OpenElement("cdn");
    out.PushAttribute("id", id.c_str());
    out.PushAttribute("name", ("mirror-" + id).c_str());
    out.PushAttribute("middle-dir", mirror.folder.c_str());
    out.PushAttribute("file-name", fileName.c_str());
    out.PushAttribute("host-name", "null");
    out.PushAttribute("open", "true");
    Element(out, "ip", mirror.address);
    out.CloseElement();
}

}  // namespace

std::string MakeTorrent(std::string_view name, const FileDigest& file, std::int32_t pieceLength,
                        const std::vector<std::string>& trackers, std::int64_t creationDate) {
    auto root = engine::NewDictionary();
    if (!trackers.empty()) {
        AddText(*root, "announce");
        AddText(*root, trackers.front());
        AddText(*root, "announce-list");
        auto tiers = engine::NewList();
        for (const std::string& tracker : trackers) {
            auto tier = engine::NewList();
            AddText(*tier, tracker);
            tiers->Append(tier.release());
        }
        root->Append(tiers.release());
    }
    AddText(*root, "created by");
    AddText(*root, "koruvan-mkplan");
    AddInteger(*root, "creation date", creationDate);
    AddText(*root, "info");
    root->Append(InfoDictionary(name, file, pieceLength).release());
    std::string out;
    if (!engine::Encode(root.get(), out)) {
        return {};
    }
    return out;
}

std::optional<std::string> TorrentInfoHash(const std::string& torrent, std::string_view name,
                                           std::uint64_t size, std::int32_t pieceLength) {
    LayoutProbe probe;
    auto* loaded = new engine::TTorrent(probe);
    const bool ok = loaded->LoadFromData(torrent);
    const std::string hash = loaded->InfoHashHex();
    loaded->Release();
    const engine::MetainfoLayout& l = probe.layout;
    if (!ok || l.multiFile || l.files.size() != 1 || l.name != name || l.totalSize != size ||
        l.pieceLength != pieceLength || hash.size() != 40) {
        return std::nullopt;
    }
    return hash;
}

std::string MakeSecConfig(std::string_view secType, std::string_view key,
                          std::string_view userAgent, std::string_view referer) {
    tinyxml2::XMLPrinter out;
    out.PushHeader(false, true);
    out.OpenElement("project");
    out.OpenElement("sec");
    out.PushAttribute("id", "1");
    out.PushAttribute("sec_type", std::string(secType).c_str());
    Element(out, "md5key", app::Base64Encode(key));
    out.CloseElement();
    Element(out, "client", app::Base64Encode(userAgent));
    Element(out, "web", app::Base64Encode(referer));
    out.CloseElement();
    return out.CStr();
}

std::string MakeResourceList(const ResourceListInput& input) {
    tinyxml2::XMLPrinter out;
    out.PushHeader(false, true);
    out.OpenElement("project");
    out.OpenElement("configs");
    Element(out, "p2p-switch", input.p2p ? "on" : "off");
    out.OpenElement("expire-info");
    Element(out, "expired", input.expiredMessage.empty() ? "false" : "true");
    Element(out, "message", input.expiredMessage);
    Element(out, "url", input.expiredUrl);
    out.CloseElement();
    out.CloseElement();
    out.OpenElement("resources");
    for (std::size_t i = 0; i < input.urls.size(); ++i) {
        out.OpenElement("resource");
        out.PushAttribute("id", std::to_string(i + 1).c_str());
        out.PushAttribute("task", input.urls[i].c_str());
        for (std::size_t m = 0; m < input.mirrors.size(); ++m) {
            WriteCdn(out, m, input.mirrors[m], input.names[i]);
        }
        out.CloseElement();
    }
    out.CloseElement();
    out.CloseElement();
    return out.CStr();
}

std::string MakeTelemetryConfig(std::string_view submitRoot) {
    const std::string root(submitRoot);
    std::string out =
        "; Telemetry configuration made by koruvan-mkplan: usage events go to the bundle's\n"
        "; own service.\n";
    const char* sections[][2] = {{"SubmitEventDownload", "/launchersubmit/eventInfoSubmit"},
                                 {"SubmitEventDownloadSeveral", "/launchersubmit/eventListSubmit"}};
    for (const auto& [section, path] : sections) {
        out += std::string("[") + section + "]\nSubmitUrl=" + root + path +
               "\nInputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n"
               "SubmitDataKeyWord=MachId;Mac;OS\n\n";
    }
    out +=
        "[OsTypeCode]\nWIN_XP_SP2=512320\nWIN_XP_SP3=513320\nWIN_VISTA_SP2=602320\n"
        "WIN_7_SP1=611640\nWIN_8=620640\nWIN_8_1=630640\nWIN_10=1000640\nOther=999\n";
    return out;
}

std::string MakePlanIni(std::string_view secConfigUrl, std::string_view resourceListUrl,
                        std::string_view telemetryConfig,
                        const std::array<PlanEntry, kBundleFiles>& files, const PlanP2p& p2p) {
    std::string out =
        "; Download plan made by koruvan-mkplan; paths are relative to this file.\n"
        "[plan]\n"
        "sec_config_url = " +
        std::string(secConfigUrl) + "\nresource_list_url = " + std::string(resourceListUrl) + "\n";
    if (!telemetryConfig.empty()) {
        out += "telemetry_config = " + std::string(telemetryConfig) + "\n";
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const PlanEntry& f = files[i];
        out += "\n[file" + std::to_string(i) + "]\nname = " + f.name +
               "\nsize = " + std::to_string(f.size) + "\nmd5 = " + f.md5 + "\nurl = " + f.url +
               "\n";
        if (!f.torrent.empty()) {
            out += "torrent = " + f.torrent + "\n";
        }
    }
    const auto flag = [](bool on) { return on ? "1\n" : "0\n"; };
    out += std::string("\n[p2p]\nupnp = ") + flag(p2p.upnp) +
           "lan_discovery = " + flag(p2p.lanDiscovery);
    if (!p2p.bindAddress.empty()) {
        out += "bind_address = " + p2p.bindAddress + "\n";
    }
    if (p2p.disguise) {
        out += std::string("disguise = ") + flag(*p2p.disguise);
    }
    if (p2p.listenPort != 0) {
        out += "listen_port = " + std::to_string(p2p.listenPort) + "\n";
    }
    if (!p2p.upnp) {
        // A loopback plan: the UDP transport's rendezvous server stays on this host too.
        out += "rendezvous = 127.0.0.1:82\n";
    }
    return out;
}

}  // namespace koruvan::tools
