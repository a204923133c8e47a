// The root description document a gateway device serves (UPnP device description XML), read
// into the properties of its root device as the port mapping reports them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "net/PortForwardTypes.h"

namespace koruvan::net {

// The root device's properties; nullopt when the text is not a device description.
[[nodiscard]] std::optional<IgdDeviceInfo> ReadIgdDescription(std::string_view xml);

}  // namespace koruvan::net
