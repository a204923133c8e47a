// koruvan-mkplan: makes a plan bundle — five files, their torrents, the downloader
// service's two documents and plan.ini — for `koruvan --plan` and `koruvan-cli --plan`.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>

#include "tools/mkplan/PlanBundle.h"

namespace {

using namespace koruvan::tools;

std::string Join(const std::array<std::string, kBundleFiles>& names) {
    std::string out;
    for (const std::string& n : names) {
        out += (out.empty() ? "" : ",") + n;
    }
    return out;
}

bool SplitNames(const std::string& text, std::array<std::string, kBundleFiles>& names) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        const std::size_t comma = text.find(',', start);
        if ((i + 1 < kBundleFiles) == (comma == std::string::npos)) {
            return false;
        }
        names[i] =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma + 1;
    }
    return true;
}

// The [p2p] options as typed.
struct P2pTexts {
    std::string upnp = "off";
    std::string lanDiscovery = "off";
    std::string bindAddress;  // empty: by the base URL
    std::string disguise;     // empty: not written
};

void AddOptions(CLI::App& app, BundleOptions& o, std::string& sizes, std::string& names,
                std::string& from, std::string& p2p, P2pTexts& service) {
    app.add_option("--out", o.outDir, "folder of the bundle (created when missing)")->required();
    auto* fromOpt = app.add_option("--from", from, "take the five files from this folder");
    auto* sizesOpt = app.add_option("--sizes", sizes,
                                    "generate five files of these sizes, e.g. 1M,20M,20M,20M,5M");
    fromOpt->excludes(sizesOpt);
    app.add_option("--names", names,
                   "the five file names, comma-separated (file 0 is the installer)")
        ->default_str(Join(o.names));
    app.add_flag("--link", o.hardLink, "with --from: hard-link the files instead of copying them");
    app.add_flag("--installer-script", o.installerScript,
                 "generated file 0 is a shell script that reports the installation");
    app.add_option("--seed", o.seed, "seed of the generated content")->default_val(1);
    app.add_option("--base-url", o.baseUrl, "URL at which the bundle's www/ folder is served")
        ->required();
    app.add_option("--config-url", o.configUrl,
                   "URL of the downloader service (default: the base URL)");
    app.add_option("--telemetry-url", o.telemetryUrl,
                   "where usage events are posted (default: the downloader service)");
    app.add_option("--mirror", o.mirrors, "an extra CDN serving www/ too (repeatable)");
    app.add_option("--tracker", o.trackers, "a tracker announce URL for the torrents (repeatable)");
    app.add_flag("!--no-torrents", o.torrents, "make no torrents: plain web downloads");
    app.add_option("--sec-type", o.secType, "URL-signing scheme, A0 or B1")->default_val("B1");
    app.add_option("--sec-key", o.secKey, "URL-signing key (default: a random one)");
    app.add_option("--user-agent", o.userAgent, "User-Agent the downloader sends")
        ->default_str(o.userAgent);
    app.add_option("--referer", o.referer, "Referer the downloader sends (default: base URL)");
    app.add_option("--p2p", p2p, "the resource list's P2P switch")
        ->check(CLI::IsMember({"on", "off"}))
        ->default_val("on");
    app.add_option("--upnp", service.upnp, "the plan's port mapping on the router")
        ->check(CLI::IsMember({"on", "off"}))
        ->default_val("off");
    app.add_option("--lan-discovery", service.lanDiscovery,
                   "the plan's multicast discovery of peers on the local network")
        ->check(CLI::IsMember({"on", "off"}))
        ->default_val("off");
    app.add_option("--bind-address", service.bindAddress,
                   "the plan's P2P address, or none (default: 127.0.0.2 when the base URL is "
                   "on loopback, else none)");
    app.add_option("--disguise", service.disguise,
                   "the plan's HTTP-style disguise of outgoing peer connections (default: the "
                   "product's, on)")
        ->check(CLI::IsMember({"on", "off"}));
    app.add_option("--listen-port", o.listenPort,
                   "the plan's P2P listening port (default: the controller's choice)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--expired-message", o.expiredMessage,
                   "declare this downloader expired, with this message");
    app.add_option("--expired-url", o.expiredUrl, "the page an expired downloader opens");
}

void PrintReport(const BundleReport& r) {
    for (std::size_t i = 0; i < kBundleFiles; ++i) {
        const BundleFile& f = r.files[i];
        std::printf("file%zu %s %llu bytes md5 %s%s%s\n", i, f.name.c_str(),
                    static_cast<unsigned long long>(f.digest.size), f.digest.md5.c_str(),
                    f.infoHash.empty() ? "" : " infohash ", f.infoHash.c_str());
    }
    std::printf("plan: %s\nweb root: %s\nsec configuration: %s\nresource list: %s\n",
                r.planFile.c_str(), r.webRoot.c_str(), r.secConfigUrl.c_str(),
                r.resourceListUrl.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Makes a download plan bundle: five files (taken from a folder or generated), "
        "their torrents, the sec configuration, the resource list and plan.ini."};
    BundleOptions options;
    std::string sizes;
    std::string names;
    std::string from;
    std::string p2p = "on";
    P2pTexts service;
    bool quiet = false;
    AddOptions(app, options, sizes, names, from, p2p, service);
    app.add_flag("--quiet", quiet, "print only errors");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (!from.empty()) {
        options.fromDir = from;
    }
    if (!sizes.empty()) {
        const auto parsed = ParseSizes(sizes);
        if (!parsed) {
            std::cerr << "koruvan-mkplan: --sizes needs five sizes such as 1M,20M,20M,20M,5M "
                         "(bytes, or K, M, G)\n";
            return 2;
        }
        options.sizes = *parsed;
    }
    if (!names.empty() && !SplitNames(names, options.names)) {
        std::cerr << "koruvan-mkplan: --names needs five comma-separated names\n";
        return 2;
    }
    options.p2p = p2p == "on";
    options.upnp = service.upnp == "on";
    options.lanDiscovery = service.lanDiscovery == "on";
    if (!service.bindAddress.empty()) {
        options.bindAddress = service.bindAddress == "none" ? "" : service.bindAddress;
    }
    if (!service.disguise.empty()) {
        options.disguise = service.disguise == "on";
    }
    if (const auto problem = CheckOptions(options)) {
        std::cerr << "koruvan-mkplan: " << *problem << "\n";
        return 2;
    }
    BundleReport report;
    std::string error;
    const BundleLog log = [quiet](std::string_view line) {
        if (!quiet) {
            std::cout << line << std::endl;
        }
    };
    if (!MakeBundle(options, report, error, log)) {
        std::cerr << "koruvan-mkplan: " << error << "\n";
        return 1;
    }
    if (!quiet) {
        PrintReport(report);
    }
    return 0;
}
