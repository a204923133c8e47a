#include "telemetry/HardwareInventory.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/File.h"
#include "platform/Paths.h"
#include "telemetry/SmbiosMemory.h"

namespace koruvan::telemetry {
namespace {

constexpr int kCentralProcessor = 3;

using Fields = std::vector<std::pair<std::string, std::string>>;

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string ReadText(const std::string& root, std::string_view relative) {
    std::string text;
    (void)platform::ReadWholeFile(platform::JoinPath(root, relative), text);
    return text;
}

// "key : value" lines, in blocks separated by blank lines (cpuinfo) or one block (meminfo,
// uevent with "=" as the separator).
std::vector<Fields> ParseBlocks(std::string_view text, char separator) {
    std::vector<Fields> blocks(1);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (Trim(line).empty()) {
            if (!blocks.back().empty()) {
                blocks.emplace_back();
            }
            continue;
        }
        const std::size_t at = line.find(separator);
        if (at != std::string_view::npos) {
            blocks.back().emplace_back(std::string(Trim(line.substr(0, at))),
                                       std::string(Trim(line.substr(at + 1))));
        }
    }
    if (blocks.back().empty()) {
        blocks.pop_back();
    }
    return blocks;
}

std::string Field(const Fields& fields, std::string_view key) {
    for (const auto& [k, v] : fields) {
        if (k == key) {
            return v;
        }
    }
    return {};
}

bool IsCardName(const std::string& name) {
    return name.size() > 4 && name.rfind("card", 0) == 0 &&
           name.find_first_not_of("0123456789", 4) == std::string::npos && name.size() < 10;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

// "8086:3E92" → "Intel Corporation CoffeeLake-S GT2 [UHD Graphics 630]" from the PCI id
// list: vendor lines start in column 0 ("8086  Intel Corporation"), their devices follow
// indented by one tab. The vendor alone when the device is not listed; empty when the list
// or the vendor is missing.
std::string PciName(const std::string& root, std::string_view pciId) {
    if (pciId.size() != 9 || pciId[4] != ':') {
        return {};
    }
    const std::string vendorId = Lower(pciId.substr(0, 4));
    const std::string deviceId = Lower(pciId.substr(5));
    std::string list = ReadText(root, "usr/share/misc/pci.ids");
    if (list.empty()) {
        list = ReadText(root, "usr/share/hwdata/pci.ids");
    }
    std::string vendor;
    std::string_view rest = list;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        if (line[0] != '\t') {
            if (!vendor.empty()) {
                break;  // past the vendor's devices
            }
            if (line.size() > 6 && line.substr(0, 4) == vendorId && line.substr(4, 2) == "  ") {
                vendor = std::string(Trim(line.substr(6)));
            }
        } else if (!vendor.empty() && line.size() > 7 && line.substr(1, 4) == deviceId &&
                   line.substr(5, 2) == "  ") {
            return vendor + " " + std::string(Trim(line.substr(7)));
        }
    }
    return vendor;
}

Json::Value VideoCard(const SystemSources& sources, const std::filesystem::path& card) {
    const std::string device = (card / "device").string();
    const Fields uevent = [&] {
        std::string text;
        (void)platform::ReadWholeFile(device + "/uevent", text);
        const auto blocks = ParseBlocks(text, '=');
        return blocks.empty() ? Fields() : blocks.front();
    }();
    const std::string driver = Field(uevent, "DRIVER");
    const std::string pciId = Field(uevent, "PCI_ID");
    std::string name = PciName(sources.root, pciId);
    if (name.empty() && !driver.empty()) {
        name = pciId.empty() ? driver : driver + " (" + pciId + ")";
    }
    std::string memory;
    (void)platform::ReadWholeFile(device + "/mem_info_vram_total", memory);
    std::string version;
    if (!driver.empty()) {
        version = ReadText(sources.root, "sys/module/" + driver + "/version");
        if (Trim(version).empty()) {
            version = sources.KernelRelease();
        }
    }
    Json::Value entry(Json::objectValue);
    entry["Video_Card_Name"] = name;
    entry["Video_Card_Memory_Capacity"] = std::string(Trim(memory));
    entry["Video_Card_Driver_Version"] = std::string(Trim(version));
    return entry;
}

}  // namespace

std::string SystemSources::Machine() const {
    return machine.empty() ? platform::MachineArchitecture() : machine;
}

std::vector<platform::NetworkAdapter> SystemSources::Adapters() const {
    return adapters ? adapters() : platform::ListNetworkAdapters();
}

std::string SystemSources::KernelRelease() const {
    return std::string(Trim(ReadText(root, "proc/sys/kernel/osrelease")));
}

const char* CpuTypeName(int processorType) noexcept {
    static constexpr const char* kNames[] = {"Other",          "Unknown",       "Central Processor",
                                             "Math Processor", "DSP Processor", "Video Processor"};
    return processorType >= 1 && processorType <= 6 ? kNames[processorType - 1] : "Error";
}

const char* CpuArchitectureName(int architecture) noexcept {
    switch (architecture) {
        case 0:
            return "x86";
        case 1:
            return "MIPS";
        case 2:
            return "Alpha";
        case 3:
            return "PowerPC";
        case 6:
            return "Itanium-based systems";
        case 9:
            return "x64";
        default:
            return "Error";
    }
}

const char* MemoryTypeName(int memoryType) noexcept {
    static constexpr const char* kNames[] = {"DRAM",       "Synchronous DRAM",
                                             "Cache DRAM", "EDO",
                                             "EDRAM",      "VRAM",
                                             "SRAM",       "RAM",
                                             "ROM",        "Flash",
                                             "EEPROM",     "FEPROM",
                                             "EPROM",      "CDRAM",
                                             "3DRAM",      "SDRAM",
                                             "SGRAM",      "RDRAM",
                                             "DDR",        "DDR-2"};
    return memoryType >= 2 && memoryType <= 21 ? kNames[memoryType - 2] : "DDR-3";
}

int ArchitectureOf(std::string_view machine) noexcept {
    if (machine == "x86_64" || machine == "amd64") {
        return 9;
    }
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") {
        return 0;
    }
    if (machine.rfind("mips", 0) == 0) {
        return 1;
    }
    if (machine.rfind("alpha", 0) == 0) {
        return 2;
    }
    if (machine.rfind("ppc", 0) == 0 || machine.rfind("powerpc", 0) == 0) {
        return 3;
    }
    if (machine == "ia64") {
        return 6;
    }
    return -1;
}

Json::Value CpuSection(const SystemSources& sources) {
    Json::Value section(Json::arrayValue);
    const std::string architecture = CpuArchitectureName(ArchitectureOf(sources.Machine()));
    std::vector<std::string> packagesSeen;
    for (const Fields& processor : ParseBlocks(ReadText(sources.root, "proc/cpuinfo"), ':')) {
        const std::string package = Field(processor, "physical id");
        if (std::find(packagesSeen.begin(), packagesSeen.end(), package) != packagesSeen.end()) {
            continue;  // another logical processor of a package already listed
        }
        packagesSeen.push_back(package);
        std::string name = Field(processor, "model name");
        if (name.empty()) {
            name = Field(processor, "Processor");
        }
        Json::Value cpu(Json::objectValue);
        cpu["CPU_Name"] = name;
        cpu["CPU_Manufacturer"] = Field(processor, "vendor_id");
        cpu["CPU_Type"] = CpuTypeName(kCentralProcessor);
        cpu["CPU_Architecture"] = architecture;
        section.append(cpu);
    }
    return section;
}

Json::Value MemorySection(const SystemSources& sources) {
    Json::Value section(Json::objectValue);
    const auto meminfo = ParseBlocks(ReadText(sources.root, "proc/meminfo"), ':');
    if (!meminfo.empty()) {
        // "MemTotal:       16318156 kB"
        const std::string total = Field(meminfo.front(), "MemTotal");
        const std::size_t digits = std::min(total.find_first_not_of("0123456789"), total.size());
        if (digits > 0 && digits <= 15) {
            section["Memory_Total_Capacity"] =
                std::to_string(std::stoull(total.substr(0, digits)) * 1024);
        }
    }
    for (const MemoryModule& module : ReadMemoryModules(sources.root)) {
        section["Memory_Type"] = MemoryTypeName(module.type);
        section["Memory_Capacity"] =
            module.capacityBytes ? std::to_string(*module.capacityBytes) : std::string();
        section["Memory_Frequency"] = std::to_string(module.speed);
    }
    return section;
}

Json::Value VideoSection(const SystemSources& sources) {
    Json::Value section(Json::arrayValue);
    try {
        std::vector<std::pair<int, std::filesystem::path>> cards;
        std::error_code error;
        const std::filesystem::path drm = std::filesystem::path(sources.root) / "sys/class/drm";
        for (std::filesystem::directory_iterator it(drm, error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (IsCardName(name)) {
                cards.emplace_back(std::stoi(name.substr(4)), it->path());
            }
        }
        std::sort(cards.begin(), cards.end());
        for (const auto& [index, card] : cards) {
            section.append(VideoCard(sources, card));
        }
    } catch (...) {
        section = Json::Value(Json::arrayValue);
    }
    return section;
}

}  // namespace koruvan::telemetry
