// The window's command line: the opt-out of usage statistics.
#include <gtest/gtest.h>

#include "ui/CwbeKoruvanUIApp.h"

namespace koruvan::ui {
namespace {

TEST(AppCommandLine, NoTelemetryIsAnOptOutFlag) {
    const char* plain[] = {"koruvan", "--plan", "p.ini"};
    const char* optedOut[] = {"koruvan", "--no-telemetry", "--plan", "p.ini"};
    const ParsedAppCommandLine a = ParseAppCommandLine(3, plain);
    const ParsedAppCommandLine b = ParseAppCommandLine(4, optedOut);
    ASSERT_TRUE(a.options && b.options);
    EXPECT_FALSE(a.options->noTelemetry);
    EXPECT_TRUE(b.options->noTelemetry);
    EXPECT_EQ(b.options->planFile, "p.ini");
}

}  // namespace
}  // namespace koruvan::ui
