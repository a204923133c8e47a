// The developer echo: diagnostic lines for whoever runs the program from a terminal.
#pragma once

#include <string_view>

namespace koruvan::platform {

// Writes `line` and a line break to standard error when the environment variable
// KORUVAN_DEBUG is set to a non-empty value, and nowhere otherwise. A line break at the end
// of `line` is not doubled. Each line goes out in one write, so lines from concurrent
// threads never interleave.
void DebugOutput(std::string_view line) noexcept;

// Whether DebugOutput() currently writes anything.
bool DebugOutputEnabled() noexcept;

}  // namespace koruvan::platform
