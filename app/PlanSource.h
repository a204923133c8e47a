// Which plan the program runs with, and installing it for the process.
#pragma once

#include <optional>
#include <string>

#include "app/Plan.h"
#include "app/PlanFile.h"

namespace koruvan::app {

// The built-in plan, decoded from the program's data.
[[nodiscard]] DownloadPlan BuiltinPlan();

// The plan file `planFile` when one is given (with the built-in telemetry configuration
// when it names none), else the built-in plan. A refused plan file comes back with its
// refusal; the front ends print it and exit with code 2.
[[nodiscard]] PlanLoad LoadPlan(const std::optional<std::string>& planFile);

// Installs `plan` for the process: its sec configuration URL becomes the one ParseSecConfig
// fetches, and web sources of the engine get the signing and header texts from here.
// The controller keeps the plan itself (task identity, names, URLs, resource-list URL).
void InstallPlan(const DownloadPlan& plan);

}  // namespace koruvan::app
