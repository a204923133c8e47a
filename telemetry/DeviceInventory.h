// The machine's identity fields and hardware sections for the statistics component. The
// machine id and the adapter lists are read again whenever asked (adapters come and go);
// the operating-system code and the three hardware sections are read once per object and
// then reused. Not thread-safe: its owner (CDataStatisticsImp) uses it under its lock.
#pragma once

#include <optional>
#include <string>

#include <json/value.h>

#include "telemetry/DeviceIdentity.h"
#include "telemetry/HardwareInventory.h"

namespace koruvan::telemetry {

// Flag bits of an event asking for hardware sections.
inline constexpr int kWantCpu = 1;
inline constexpr int kWantMemory = 2;
inline constexpr int kWantVideoCard = 4;

class DeviceInventory {
  public:
    explicit DeviceInventory(SystemSources sources = {}) : sources_(std::move(sources)) {}

    // 16 hexadecimal digits from the volume serial and the first adapter's address (zeros
    // for what cannot be read).
    [[nodiscard]] std::string ComputeMachineId() const;
    // The MAC list and the IP list of the adapters now present.
    [[nodiscard]] AdapterLists CollectMacAndIpLists() const;
    [[nodiscard]] const std::string& ComputeOsCode();
    void AddCpuSection(Json::Value& object);
    void AddMemorySection(Json::Value& object);
    void AddVideoSection(Json::Value& object);
    // The sections `flags` asks for.
    void AddSections(Json::Value& object, int flags);

  private:
    SystemSources sources_;
    std::optional<std::string> osCode_;
    std::optional<Json::Value> cpu_;
    std::optional<Json::Value> memory_;
    std::optional<Json::Value> video_;
};

}  // namespace koruvan::telemetry
