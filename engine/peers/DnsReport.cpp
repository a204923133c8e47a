#include "engine/peers/DnsReport.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <fstream>
#include <mutex>
#include <sstream>

#include "engine/peers/UsageEvents.h"

namespace koruvan::engine {
namespace {

std::mutex& PathLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

std::string& PathSlot() {  // guarded by PathLock()
    static auto* path = new std::string;
    return *path;
}

bool IsAddressText(const std::string& text) {
    in6_addr v6;
    in_addr v4;
    return ::inet_pton(AF_INET, text.c_str(), &v4) == 1 ||
           ::inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

}  // namespace

bool ReadDnsServers(const std::string& path, std::vector<std::string>& servers) {
    std::ifstream file(path);
    if (!file) {
        return false;
    }
    std::string line;
    while (servers.size() < kMaxReportedDnsServers && std::getline(file, line)) {
        const auto comment = line.find_first_of("#;");
        if (comment != std::string::npos) {
            line.erase(comment);
        }
        std::istringstream words(line);
        std::string keyword;
        std::string address;
        if (words >> keyword >> address && keyword == "nameserver" && IsAddressText(address)) {
            servers.push_back(address);
        }
    }
    return true;
}

std::string BuildDnsReportText(std::uint32_t error, std::string_view host,
                               const std::vector<std::string>& servers) {
    std::string text = "ErrCode : (" + std::to_string(error) + ") Host : (";
    text.append(host).append(") ");
    if (servers.empty()) {
        return text + ", no DNS";
    }
    text.append(", DNS : (").append(servers.front()).append(")");
    for (std::size_t i = 1; i < servers.size(); ++i) {
        text.append(", 备用 DNS : (").append(servers[i]).append(")");
    }
    return text;
}

void SendDnsReport(std::uint32_t error, std::string_view host) noexcept {
    try {
        std::vector<std::string> servers;
        if (!ReadDnsServers(ResolvConfPath(), servers)) {
            servers.clear();
        }
        ReportUsageEvent(kDnsReportEvent, BuildDnsReportText(error, host, servers));
    } catch (...) {
        // The report is a diagnostic; failing to build it changes nothing else.
    }
}

void SetResolvConfPath(std::string path) {
    std::lock_guard<std::mutex> guard(PathLock());
    PathSlot() = std::move(path);
}

std::string ResolvConfPath() {
    std::lock_guard<std::mutex> guard(PathLock());
    return PathSlot().empty() ? std::string(kDefaultResolvConf) : PathSlot();
}

}  // namespace koruvan::engine
