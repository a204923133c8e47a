// What the router port mapping works with: the mapping request, the description of the last
// gateway device read, and the notifications its two worker threads post to the window.
#pragma once

#include <cstdint>
#include <string>

namespace koruvan::net {

// The mapping request, seven texts in this order.
struct UpnpMapping {
    std::string externalAddress;  // empty: any remote host
    std::string externalPort;     // decimal
    std::string internalPort;     // decimal
    std::string protocol;         // "TCP"
    std::string internalClient;   // this machine's IPv4 address, dotted
    std::string enabled;          // "Yes"
    std::string description;
};

inline constexpr const char* kMappingDescription = "Koruvan uPnP for P2SP upload/download";
inline constexpr const char* kGatewayDeviceType =
    "urn:schemas-upnp-org:device:InternetGatewayDevice:1";

// The last gateway device read: 19 texts, each one property of the device.
struct IgdDeviceInfo {
    std::string children;  // "No: Zero children", "Yes: One child", "Yes: %d children"
    std::string description;
    std::string friendlyName;
    std::string hasChildren;
    std::string iconUrl;  // of a 32 x 32 GIF icon with 8 bits per pixel
    std::string isRootDevice;
    std::string manufacturerName;
    std::string manufacturerUrl;
    std::string modelName;
    std::string modelNumber;
    std::string modelUrl;
    std::string parentDevice;  // "This is a topmost device" when there is none
    std::string presentationUrl;
    std::string rootDevice;  // "This is a topmost device" for a root device
    std::string serialNumber;
    std::string services;  // "No: Zero services", "Yes: One service", "Yes: %d services"
    std::string type;
    std::string uniqueDeviceName;
    std::string upc;

    // A device was read (its type is always there).
    [[nodiscard]] bool HasDevice() const noexcept { return !type.empty(); }
};

// Notifications (wParam) and their results (lParam).
inline constexpr std::uintptr_t kDeviceInfoProgress = 17;  // 0, 1, 5, then 6 and rising
inline constexpr std::uintptr_t kDeviceInfoDone = 18;      // kResultOk or kResultFailed
inline constexpr std::uintptr_t kMappingProgress = 33;     // 0, 1, 2
inline constexpr std::uintptr_t kMappingDone = 34;         // kResultOk or kResultFailed
inline constexpr std::intptr_t kResultOk = 0;
// The failure result (the old COM code 0x80004005 as a signed 32-bit value).
inline constexpr std::intptr_t kResultFailed = static_cast<std::int32_t>(0x80004005u);

}  // namespace koruvan::net
