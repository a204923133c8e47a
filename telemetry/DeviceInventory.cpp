#include "telemetry/DeviceInventory.h"

#include "platform/CodePage.h"

namespace koruvan::telemetry {

std::string DeviceInventory::ComputeMachineId() const {
    const std::vector<NetworkAdapter> adapters = sources_.Adapters();
    const MacAddress first = adapters.empty() ? MacAddress{} : adapters.front().address;
    return telemetry::ComputeMachineId(ReadVolumeSerial(sources_.root), first);
}

AdapterLists DeviceInventory::CollectMacAndIpLists() const {
    return JoinAdapterLists(sources_.Adapters());
}

const std::string& DeviceInventory::ComputeOsCode() {
    if (!osCode_) {
        osCode_ = telemetry::ComputeOsCode(sources_.KernelRelease(), sources_.Machine(),
                                           platform::kCodePageUtf8);
    }
    return *osCode_;
}

void DeviceInventory::AddCpuSection(Json::Value& object) {
    if (!cpu_) {
        cpu_ = CpuSection(sources_);
    }
    object["CPU"] = *cpu_;
}

void DeviceInventory::AddMemorySection(Json::Value& object) {
    if (!memory_) {
        memory_ = MemorySection(sources_);
    }
    object["Memory"] = *memory_;
}

void DeviceInventory::AddVideoSection(Json::Value& object) {
    if (!video_) {
        video_ = VideoSection(sources_);
    }
    object["Video_Card"] = *video_;
}

void DeviceInventory::AddSections(Json::Value& object, int flags) {
    if ((flags & kWantCpu) != 0) {
        AddCpuSection(object);
    }
    if ((flags & kWantMemory) != 0) {
        AddMemorySection(object);
    }
    if ((flags & kWantVideoCard) != 0) {
        AddVideoSection(object);
    }
}

}  // namespace koruvan::telemetry
