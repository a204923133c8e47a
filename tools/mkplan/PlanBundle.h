// Making a whole plan bundle (layout in BundleOptions.h). The plan file is written last and
// only after everything it names is in place, and the finished plan is loaded back with the
// downloader's own plan reader: a bundle that would be refused is reported as a failure.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "tools/mkplan/BundleOptions.h"
#include "tools/mkplan/PlanContent.h"

namespace koruvan::tools {

struct BundleFile {
    std::string name;
    std::string path;  // in the web root
    std::string url;
    FileDigest digest;
    std::string infoHash;  // 40 hex digits; empty without torrents
};

struct BundleReport {
    std::string planFile;
    std::string webRoot;
    std::string secConfigUrl;
    std::string resourceListUrl;
    std::string secKey;  // the key the sec configuration carries
    std::array<BundleFile, kBundleFiles> files;
};

// Progress lines for the user.
using BundleLog = std::function<void(std::string_view line)>;

// Makes the bundle `options` describe. False with `error` set when the options are unusable
// or something could not be written.
[[nodiscard]] bool MakeBundle(const BundleOptions& options, BundleReport& report,
                              std::string& error, const BundleLog& log = {});

}  // namespace koruvan::tools
