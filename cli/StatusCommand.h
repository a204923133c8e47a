// `koruvan-cli status`: the persisted state of the plan's download and one line per file,
// read without changing anything.
#pragma once

#include <string>

#include "app/Plan.h"

namespace koruvan::cli {

// Prints the report to standard output; returns the exit code (0).
[[nodiscard]] int PrintStatus(const app::DownloadPlan& plan, const std::string& planName,
                              const std::string& dataRoot);

}  // namespace koruvan::cli
