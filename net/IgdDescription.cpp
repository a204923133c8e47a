#include "net/IgdDescription.h"

#include <tinyxml2.h>

namespace koruvan::net {
namespace {

constexpr const char* kTopmost = "This is a topmost device";

std::string Text(const tinyxml2::XMLElement* parent, const char* name) {
    const tinyxml2::XMLElement* e = parent != nullptr ? parent->FirstChildElement(name) : nullptr;
    const char* text = e != nullptr ? e->GetText() : nullptr;
    return text != nullptr ? text : "";
}

int CountChildren(const tinyxml2::XMLElement* list, const char* name) {
    int count = 0;
    for (const tinyxml2::XMLElement* e = list != nullptr ? list->FirstChildElement(name) : nullptr;
         e != nullptr; e = e->NextSiblingElement(name)) {
        ++count;
    }
    return count;
}

std::string CountText(int count, const char* one, const char* many) {
    if (count == 0) {
        return std::string("No: Zero ") + many;
    }
    if (count == 1) {
        return std::string("Yes: One ") + one;
    }
    return "Yes: " + std::to_string(count) + " " + many;
}

// The URL of the 32 x 32 GIF icon with 8 bits per pixel; empty when the device has none.
std::string IconUrl(const tinyxml2::XMLElement* device) {
    const tinyxml2::XMLElement* list = device->FirstChildElement("iconList");
    for (const tinyxml2::XMLElement* icon = list != nullptr ? list->FirstChildElement("icon")
                                                            : nullptr;
         icon != nullptr; icon = icon->NextSiblingElement("icon")) {
        if (Text(icon, "mimetype") == "image/gif" && Text(icon, "width") == "32" &&
            Text(icon, "height") == "32" && Text(icon, "depth") == "8") {
            return Text(icon, "url");
        }
    }
    return {};
}

}  // namespace

std::optional<IgdDeviceInfo> ReadIgdDescription(std::string_view xml) {
    tinyxml2::XMLDocument doc;
    if (doc.Parse(xml.data(), xml.size()) != tinyxml2::XML_SUCCESS ||
        doc.RootElement() == nullptr) {
        return std::nullopt;
    }
    const tinyxml2::XMLElement* device = doc.RootElement()->FirstChildElement("device");
    if (device == nullptr || Text(device, "deviceType").empty()) {
        return std::nullopt;
    }
    const int children = CountChildren(device->FirstChildElement("deviceList"), "device");
    IgdDeviceInfo info;
    info.children = CountText(children, "child", "children");
    info.description = Text(device, "modelDescription");
    info.friendlyName = Text(device, "friendlyName");
    info.hasChildren = children > 0 ? "Yes" : "No";
    info.iconUrl = IconUrl(device);
    info.isRootDevice = "Yes";
    info.manufacturerName = Text(device, "manufacturer");
    info.manufacturerUrl = Text(device, "manufacturerURL");
    info.modelName = Text(device, "modelName");
    info.modelNumber = Text(device, "modelNumber");
    info.modelUrl = Text(device, "modelURL");
    info.parentDevice = kTopmost;
    info.presentationUrl = Text(device, "presentationURL");
    info.rootDevice = kTopmost;
    info.serialNumber = Text(device, "serialNumber");
    info.services = CountText(CountChildren(device->FirstChildElement("serviceList"), "service"),
                              "service", "services");
    info.type = Text(device, "deviceType");
    info.uniqueDeviceName = Text(device, "UDN");
    info.upc = Text(device, "UPC");
    return info;
}

}  // namespace koruvan::net
