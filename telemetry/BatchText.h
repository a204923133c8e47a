// The texts of an upload: compact JSON (keys in sorted order, UTF-8 passed through, with a
// trailing newline), the info text of one event, and the form encoding of the POST body.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

namespace koruvan::telemetry {

// The compact JSON text of `value` followed by a newline (e.g. {"a":1,"b":"x"}\n).
[[nodiscard]] std::string CompactJson(const Json::Value& value);

// "{" + CompactJson(identity) + body + "}": the identity members and the event body (which
// begins with a comma) in one text, as the statistics service reads it.
[[nodiscard]] std::string InfoText(const Json::Value& identity, std::string_view body);

// Letters and digits unchanged, a blank becomes "_", every other byte "%XX" (uppercase).
[[nodiscard]] std::string FormEncode(std::string_view bytes);

// "data=" + FormEncode(text): the POST body.
[[nodiscard]] std::string FormBody(std::string_view text);

// True when every word occurs in `text` as a plain substring.
[[nodiscard]] bool ContainsAll(std::string_view text, const std::vector<std::string>& words);

// The answer of a statistics server that accepted a submission contains this.
inline constexpr std::string_view kAcceptedMarker = "\"error\":0";

}  // namespace koruvan::telemetry
