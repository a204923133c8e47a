// Reading the configuration documents with TinyXML-2: element texts, attribute texts, the
// boolean rule and the "run of same-named siblings" walk both documents use.
#pragma once

#include <tinyxml2.h>

#include <optional>
#include <string>
#include <string_view>

namespace koruvan::app {

// The most bytes a configuration document may have; anything larger is not one.
inline constexpr std::size_t kMaxDocumentBytes = 1024 * 1024;

// Parses `text` into `doc`; false when it is not well-formed XML or too large.
[[nodiscard]] bool ParseXml(std::string_view text, tinyxml2::XMLDocument& doc);

// The text of an element; empty for a missing element or one without text.
[[nodiscard]] std::string ElementText(const tinyxml2::XMLElement* element);

// The text of the named child of `parent`; empty when either is missing.
[[nodiscard]] std::string ChildText(const tinyxml2::XMLElement* parent, const char* name);

// An attribute's text; nullopt when the attribute is missing.
[[nodiscard]] std::optional<std::string> AttributeText(const tinyxml2::XMLElement* element,
                                                       const char* name);

// The boolean rule: "true", "yes", "1" are true and "false", "no", "0" false, in any case;
// nullopt for any other text.
[[nodiscard]] std::optional<bool> ParseXmlBool(std::string_view text) noexcept;

// Calls `visit` for the first child of `parent` named `name` and for each following sibling
// element as long as it has the same name; the walk stops at the first element of another
// name, or when `visit` returns false.
template <typename Visit>
void ForEachInRun(const tinyxml2::XMLElement* parent, const char* name, Visit&& visit) {
    if (parent == nullptr) {
        return;
    }
    for (const tinyxml2::XMLElement* e = parent->FirstChildElement(name); e != nullptr;
         e = e->NextSiblingElement()) {
        if (std::string_view(e->Name()) != name || !visit(e)) {
            return;
        }
    }
}

}  // namespace koruvan::app
