#include "app/PlanFile.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <vector>

#include "app/Base64.h"
#include "app/Md5.h"
#include "app/UrlText.h"
#include "engine/peers/BencodeCodec.h"
#include "platform/File.h"
#include "platform/Paths.h"

namespace koruvan::app {
namespace {

constexpr std::size_t kMaxPlanFileBytes = 1024 * 1024;
constexpr std::string_view kFileCountRule = "a plan has exactly five files, [file0] to [file4]";

struct Refused {
    PlanRefusal refusal;
};

struct Entry {
    std::string key;
    std::string value;
};

struct Section {
    std::string name;
    int line = 0;
    std::vector<Entry> entries;

    const Entry* Find(std::string_view key) const {
        for (const Entry& e : entries) {
            if (e.key == key) {
                return &e;
            }
        }
        return nullptr;
    }
};

std::string_view Trim(std::string_view s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// A value ends before a ";" or "#" at its start or after a blank.
std::string_view StripInlineComment(std::string_view value) {
    for (std::size_t i = 0; i < value.size(); ++i) {
        if ((value[i] == ';' || value[i] == '#') &&
            (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t')) {
            return value.substr(0, i);
        }
    }
    return value;
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// A value quoted in a message: control bytes shown as "?", long values cut.
std::string Shown(std::string_view value) {
    std::string out = "\"";
    for (const char c : value.substr(0, 120)) {
        const auto b = static_cast<unsigned char>(c);
        out += b < 0x20 || b == 0x7F ? '?' : c;
    }
    return out + (value.size() > 120 ? "…\"" : "\"");
}

bool HasControlByte(std::string_view text) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            return true;
        }
    }
    return false;
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") {
        return false;
    }
    return name.find('/') == std::string_view::npos && !HasControlByte(name);
}

class PlanParser {
  public:
    PlanParser(const std::string& path, const PlanFileReader& reader)
        : path_(path), reader_(reader) {}

    DownloadPlan Run(std::string_view text) {
        ReadLines(text);
        CheckSectionNames();
        DownloadPlan plan;
        ReadPlanSection(plan);
        for (int i = 0; i < kFileCount; ++i) {
            ReadFileSection(i, plan);
        }
        ReadP2pSection(plan.p2p);
        ReadTelemetrySection(plan.telemetry);
        return plan;
    }

  private:
    [[noreturn]] void Refuse(std::string section, std::string key, std::string reason) const {
        throw Refused{PlanRefusal{path_, std::move(section), std::move(key), std::move(reason)}};
    }

    [[noreturn]] void RefuseLine(int line, std::string reason) const {
        Refuse({}, {}, "line " + std::to_string(line) + ": " + std::move(reason));
    }

    Section* FindSection(std::string_view name) {
        for (Section& s : sections_) {
            if (s.name == name) {
                return &s;
            }
        }
        return nullptr;
    }

    void ReadLines(std::string_view text);
    void ReadEntry(std::string_view line, int number);
    void CheckSectionNames() const;
    const Section& Require(const std::string& name, std::string_view missingReason);
    void CheckKeys(const Section& s, std::initializer_list<std::string_view> known) const;
    std::string RequiredValue(const Section& s, std::string_view key) const;
    std::optional<std::string> OptionalValue(const Section& s, std::string_view key) const;
    std::string Url(const Section& s, std::string_view key,
                    std::initializer_list<std::string_view> schemes) const;
    std::string ReadReferenced(const Section& s, std::string_view key, const std::string& rel,
                               std::size_t limit) const;
    void ReadPlanSection(DownloadPlan& plan);
    void ReadFileSection(int index, DownloadPlan& plan);
    void ReadP2pSection(P2pSettings& p2p);
    void ReadTelemetrySection(TelemetrySettings& telemetry);
    bool Flag(const Section& s, std::string_view key, bool absent) const;
    std::uint16_t Port(const Section& s, std::string_view key, std::string_view text,
                       bool zeroAllowed) const;
    PlanEndpoint Endpoint(const Section& s, std::string_view key, std::string_view text) const;

    const std::string& path_;
    const PlanFileReader& reader_;
    std::vector<Section> sections_;
};

void PlanParser::ReadLines(std::string_view text) {
    if (text.size() > kMaxPlanFileBytes) {
        Refuse({}, {}, "larger than 1 MiB");
    }
    if (text.find('\0') != std::string_view::npos) {
        Refuse({}, {}, "holds a NUL byte (not a text file)");
    }
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = Trim(line);
        if (line.empty() || line.front() == ';' || line.front() == '#') {
            continue;
        }
        if (line.front() != '[') {
            ReadEntry(line, number);
            continue;
        }
        const std::size_t close = line.find(']');
        if (close == std::string_view::npos) {
            RefuseLine(number, "section header without \"]\"");
        }
        const std::string_view name = Trim(line.substr(1, close - 1));
        const std::string_view rest = Trim(line.substr(close + 1));
        if (!rest.empty() && rest.front() != ';' && rest.front() != '#') {
            RefuseLine(number, "text after the section header");
        }
        if (name.empty()) {
            RefuseLine(number, "section without a name");
        }
        if (const Section* earlier = FindSection(name)) {
            Refuse(std::string(name), {},
                   "section repeated (lines " + std::to_string(earlier->line) + " and " +
                       std::to_string(number) + ")");
        }
        sections_.push_back(Section{std::string(name), number, {}});
    }
}

void PlanParser::ReadEntry(std::string_view line, int number) {
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        RefuseLine(number, "neither a section, a key nor a comment");
    }
    const std::string key(Trim(line.substr(0, eq)));
    if (sections_.empty()) {
        Refuse({}, key, "line " + std::to_string(number) + ": key outside a section");
    }
    Section& section = sections_.back();
    if (key.empty()) {
        Refuse(section.name, {}, "line " + std::to_string(number) + ": key without a name");
    }
    if (section.Find(key) != nullptr) {
        Refuse(section.name, key, "key repeated (line " + std::to_string(number) + ")");
    }
    section.entries.push_back(
        Entry{key, std::string(Unquote(Trim(StripInlineComment(line.substr(eq + 1)))))});
}

void PlanParser::CheckSectionNames() const {
    for (const Section& s : sections_) {
        if (s.name == "plan" || s.name == "p2p" || s.name == "telemetry") {
            continue;
        }
        const bool fileSection = s.name.size() > 4 && s.name.compare(0, 4, "file") == 0 &&
                                 s.name.find_first_not_of("0123456789", 4) == std::string::npos;
        const bool known = s.name.size() == 5 && fileSection && s.name[4] <= '4';
        if (!known) {
            Refuse(s.name, {},
                   fileSection ? std::string(kFileCountRule) : std::string("unknown section"));
        }
    }
}

const Section& PlanParser::Require(const std::string& name, std::string_view missingReason) {
    const Section* s = FindSection(name);
    if (s == nullptr) {
        Refuse(name, {}, std::string(missingReason));
    }
    return *s;
}

void PlanParser::CheckKeys(const Section& s, std::initializer_list<std::string_view> known) const {
    for (const Entry& e : s.entries) {
        bool ok = false;
        for (const std::string_view k : known) {
            ok = ok || e.key == k;
        }
        if (!ok) {
            Refuse(s.name, e.key, "unknown key");
        }
    }
}

std::string PlanParser::RequiredValue(const Section& s, std::string_view key) const {
    const Entry* e = s.Find(key);
    if (e == nullptr) {
        Refuse(s.name, std::string(key), "key missing");
    }
    if (e->value.empty()) {
        Refuse(s.name, std::string(key), "empty value");
    }
    if (e->value.size() > kMaxPlanTextBytes) {
        Refuse(s.name, std::string(key), "longer than 2048 bytes");
    }
    return e->value;
}

std::optional<std::string> PlanParser::OptionalValue(const Section& s, std::string_view key) const {
    const Entry* e = s.Find(key);
    if (e == nullptr || e->value.empty()) {
        return std::nullopt;
    }
    return RequiredValue(s, key);
}

std::string PlanParser::Url(const Section& s, std::string_view key,
                            std::initializer_list<std::string_view> schemes) const {
    std::string url = RequiredValue(s, key);
    if (!IsUrlWithScheme(url, schemes)) {
        Refuse(s.name, std::string(key),
               (schemes.size() > 2 ? "not an http, https or ftp URL: "
                                   : "not an http or https URL: ") +
                   Shown(url));
    }
    return url;
}

std::string PlanParser::ReadReferenced(const Section& s, std::string_view key,
                                       const std::string& rel, std::size_t limit) const {
    const std::string full = ResolveBeside(path_, rel);
    std::string bytes;
    if (HasControlByte(rel)) {
        Refuse(s.name, std::string(key), "not a plain path: " + Shown(rel));
    }
    if (!reader_ || !reader_(full, bytes)) {
        Refuse(s.name, std::string(key), "cannot read " + Shown(full));
    }
    if (bytes.size() > limit) {
        Refuse(s.name, std::string(key),
               Shown(full) + " is larger than " + std::to_string(limit) + " bytes");
    }
    return bytes;
}

void PlanParser::ReadPlanSection(DownloadPlan& plan) {
    const Section& s = Require("plan", "section missing");
    CheckKeys(s, {"sec_config_url", "resource_list_url", "telemetry_config"});
    plan.secConfigUrl = Url(s, "sec_config_url", {"http", "https"});
    plan.resourceListUrl = Url(s, "resource_list_url", {"http", "https"});
    if (const auto rel = OptionalValue(s, "telemetry_config")) {
        const std::string text = ReadReferenced(s, "telemetry_config", *rel, kMaxDecodedBytes);
        if (text.find('\0') != std::string::npos) {
            Refuse(s.name, "telemetry_config", Shown(*rel) + " is not an INI text");
        }
        plan.telemetryConfig = Base64Encode(text);
    }
}

void PlanParser::ReadFileSection(int index, DownloadPlan& plan) {
    const std::string name = "file" + std::to_string(index);
    const Section& s = Require(name, "section missing (" + std::string(kFileCountRule) + ")");
    CheckKeys(s, {"name", "size", "md5", "url", "torrent"});
    PlannedFile& file = plan.files[static_cast<std::size_t>(index)];

    file.name = RequiredValue(s, "name");
    if (!IsPlainFileName(file.name)) {
        Refuse(name, "name", "not a plain file name: " + Shown(file.name));
    }
    const std::string size = RequiredValue(s, "size");
    const auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), file.size);
    if (size.find_first_not_of("0123456789") != std::string::npos ||
        end != size.data() + size.size() || error != std::errc()) {
        Refuse(
            name, "size",
            (error == std::errc::result_out_of_range ? "too large: " : "not a decimal number: ") +
                Shown(size));
    }
    file.md5 = RequiredValue(s, "md5");
    if (!IsMd5Hex(file.md5)) {
        Refuse(name, "md5", "not 32 hexadecimal digits: " + Shown(file.md5));
    }
    for (char& c : file.md5) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    file.url = Url(s, "url", {"http", "https", "ftp"});
    if (const auto rel = OptionalValue(s, "torrent")) {
        std::string torrent = ReadReferenced(s, "torrent", *rel, kMaxTorrentBytes);
        const auto root = engine::ParseBencode(torrent);
        if (root == nullptr || root->Type() != engine::kElementDictionary) {
            Refuse(name, "torrent", Shown(*rel) + " is not a bencoded dictionary");
        }
        file.torrent = std::move(torrent);
    }
    for (int j = 0; j < index; ++j) {
        const PlannedFile& other = plan.files[static_cast<std::size_t>(j)];
        if (other.name == file.name || other.url == file.url) {
            Refuse(name, other.name == file.name ? "name" : "url",
                   "same as in [file" + std::to_string(j) + "]");
        }
    }
    if (RequiredBytes(plan) == std::numeric_limits<std::uint64_t>::max()) {
        Refuse(name, "size", "the sizes add up to more than 2^64 bytes");
    }
}

bool PlanParser::Flag(const Section& s, std::string_view key, bool absent) const {
    const auto value = OptionalValue(s, key);
    if (!value) {
        return absent;
    }
    if (*value != "0" && *value != "1") {
        Refuse(s.name, std::string(key), "not 0 or 1: " + Shown(*value));
    }
    return *value == "1";
}

std::uint16_t PlanParser::Port(const Section& s, std::string_view key, std::string_view text,
                               bool zeroAllowed) const {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos ||
        end != text.data() + text.size() || error != std::errc() || port > 65535 ||
        (port == 0 && !zeroAllowed)) {
        Refuse(s.name, std::string(key),
               std::string(zeroAllowed ? "not a port number (0-65535): "
                                       : "not a port number (1-65535): ") +
                   Shown(text));
    }
    return static_cast<std::uint16_t>(port);
}

PlanEndpoint PlanParser::Endpoint(const Section& s, std::string_view key,
                                  std::string_view text) const {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 ||
        text.find_first_of(" \t/") != std::string_view::npos || HasControlByte(text)) {
        Refuse(s.name, std::string(key), "not HOST:PORT: " + Shown(text));
    }
    return PlanEndpoint{std::string(text.substr(0, colon)),
                        Port(s, key, text.substr(colon + 1), false)};
}

void PlanParser::ReadP2pSection(P2pSettings& p2p) {
    const Section* found = FindSection("p2p");
    if (found == nullptr) {
        return;
    }
    const Section& s = *found;
    CheckKeys(s, {"listen_port", "bind_address", "disguise", "lan_discovery", "ip_filter", "upnp",
                  "rendezvous", "udp_port", "dht", "dht_bootstrap"});
    if (const auto port = OptionalValue(s, "listen_port")) {
        p2p.listenPort = Port(s, "listen_port", *port, true);
    }
    if (const auto address = OptionalValue(s, "bind_address")) {
        if (!IsDottedIpv4(*address)) {
            Refuse(s.name, "bind_address", "not a dotted IPv4 address: " + Shown(*address));
        }
        p2p.bindAddress = *address;
    }
    p2p.disguise = Flag(s, "disguise", true);
    p2p.lanDiscovery = Flag(s, "lan_discovery", true);
    if (const auto rel = OptionalValue(s, "ip_filter")) {
        (void)ReadReferenced(s, "ip_filter", *rel, kMaxTorrentBytes);
        p2p.ipFilterPath = ResolveBeside(path_, *rel);
    }
    p2p.upnp = Flag(s, "upnp", true);
    if (const auto endpoint = OptionalValue(s, "rendezvous")) {
        p2p.rendezvous = Endpoint(s, "rendezvous", *endpoint);
    }
    if (const auto port = OptionalValue(s, "udp_port")) {
        p2p.udpPort = Port(s, "udp_port", *port, true);
    }
    p2p.dht = Flag(s, "dht", false);
    if (const auto list = OptionalValue(s, "dht_bootstrap")) {
        std::string_view rest = *list;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            p2p.dhtBootstrap.push_back(Endpoint(s, "dht_bootstrap", Trim(rest.substr(0, comma))));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
}

void PlanParser::ReadTelemetrySection(TelemetrySettings& telemetry) {
    const Section* found = FindSection("telemetry");
    if (found == nullptr) {
        return;
    }
    CheckKeys(*found, {"enabled"});
    telemetry.enabled = Flag(*found, "enabled", true);
}

}  // namespace

bool IsDottedIpv4(std::string_view text) noexcept {
    int parts = 0;
    while (parts < 4) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || part.size() > 3 || end != part.data() + part.size() ||
            error != std::errc() || value > 255) {
            return false;
        }
        ++parts;
        if (dot == std::string_view::npos) {
            return parts == 4;
        }
        text.remove_prefix(dot + 1);
    }
    return false;
}

std::string PlanRefusal::Message() const {
    std::string text = "plan file \"" + file + "\"";
    if (section.empty() && key.empty()) {
        return text + ": " + reason;
    }
    text += ": ";
    if (!section.empty()) {
        text += "[" + section + "]";
    }
    if (!key.empty()) {
        text += (section.empty() ? "" : " ") + key;
    }
    return text + ": " + reason;
}

std::string ResolveBeside(const std::string& anchor, const std::string& relative) {
    if (!relative.empty() && relative.front() == '/') {
        return relative;
    }
    const std::size_t slash = anchor.find_last_of('/');
    if (slash == std::string::npos) {
        return relative;
    }
    return platform::JoinPath(anchor.substr(0, slash + 1), relative);
}

PlanLoad ParsePlanText(std::string_view text, const std::string& path,
                       const PlanFileReader& reader) {
    PlanLoad load;
    try {
        load.plan = PlanParser(path, reader).Run(text);
    } catch (const Refused& refused) {
        load.refusal = refused.refusal;
    } catch (const std::exception& e) {
        load.refusal = PlanRefusal{path, {}, {}, e.what()};
    }
    return load;
}

PlanLoad LoadPlanFile(const std::string& path) {
    std::string text;
    if (platform::FileSize(path).value_or(0) > kMaxPlanFileBytes) {
        return PlanLoad{std::nullopt, PlanRefusal{path, {}, {}, "larger than 1 MiB"}};
    }
    if (!platform::ReadWholeFile(path, text)) {
        return PlanLoad{std::nullopt, PlanRefusal{path, {}, {}, "cannot be read"}};
    }
    // Reads at most one byte more than the largest file a plan may name, so that an
    // oversized file is reported as such without being read whole.
    const PlanFileReader reader = [](const std::string& file, std::string& bytes) {
        platform::File f;
        if (!f.Open(file, platform::OpenMode::ReadExisting)) {
            return false;
        }
        const std::uint64_t size = f.Size().value_or(0);
        bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxTorrentBytes + 1)));
        const std::int64_t got = f.ReadAt(0, bytes.data(), bytes.size());
        if (got < 0) {
            return false;
        }
        bytes.resize(static_cast<std::size_t>(got));
        return true;
    };
    return ParsePlanText(text, path, reader);
}

}  // namespace koruvan::app
