#include "app/XmlText.h"

#include <algorithm>
#include <cctype>

namespace koruvan::app {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool ParseXml(std::string_view text, tinyxml2::XMLDocument& doc) {
    if (text.empty() || text.size() > kMaxDocumentBytes) {
        return false;
    }
    return doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
}

std::string ElementText(const tinyxml2::XMLElement* element) {
    const char* text = element != nullptr ? element->GetText() : nullptr;
    return text != nullptr ? std::string(text) : std::string();
}

std::string ChildText(const tinyxml2::XMLElement* parent, const char* name) {
    return parent != nullptr ? ElementText(parent->FirstChildElement(name)) : std::string();
}

std::optional<std::string> AttributeText(const tinyxml2::XMLElement* element, const char* name) {
    const char* value = element != nullptr ? element->Attribute(name) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<bool> ParseXmlBool(std::string_view text) noexcept {
    for (const std::string_view yes : {"true", "yes", "1"}) {
        if (EqualsNoCase(text, yes)) {
            return true;
        }
    }
    for (const std::string_view no : {"false", "no", "0"}) {
        if (EqualsNoCase(text, no)) {
            return false;
        }
    }
    return std::nullopt;
}

}  // namespace koruvan::app
