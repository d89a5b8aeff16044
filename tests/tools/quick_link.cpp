// The programs these tests start talk to their simulated cameras with short link waits, and
// the choice of those waits.

#include "camsim/tool_session.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Set before any test starts a program, which inherits it.
const bool quickLinkSet = ::setenv(kv::camsim::kQuickLinkVariable, "1", 1) == 0;

TEST(ToolLinkTiming, QuickOnlyForASimulatedCameraAndTheExactSetting) {
    ASSERT_TRUE(quickLinkSet);
    const kv::camera::LinkTiming real;
    struct Row {
        bool simulate;
        std::optional<std::string> value;
        bool quick;
    } rows[] = {
        {true, "1", true},    {false, "1", false},         {true, "0", false},
        {true, "yes", false}, {true, std::nullopt, false},
    };
    for (const Row& r : rows) {
        if (r.value)
            ::setenv(kv::camsim::kQuickLinkVariable, r.value->c_str(), 1);
        else
            ::unsetenv(kv::camsim::kQuickLinkVariable);
        const kv::camera::LinkTiming t = kv::camsim::toolLinkTiming(r.simulate);
        const std::string what =
            std::string(r.simulate ? "simulated, " : "camera, ") + r.value.value_or("unset");
        if (r.quick) {
            EXPECT_LT(t.serialTimeout, real.serialTimeout) << what;
            EXPECT_LT(t.pingInterval, real.pingInterval) << what;
        } else {
            EXPECT_EQ(t.serialTimeout, real.serialTimeout) << what;
            EXPECT_EQ(t.pingInterval, real.pingInterval) << what;
            EXPECT_EQ(t.statusRetrySleep, real.statusRetrySleep) << what;
        }
        // A Busy camera is waited for as long as ever.
        EXPECT_EQ(t.busyPoll, real.busyPoll) << what;
    }
    ::setenv(kv::camsim::kQuickLinkVariable, "1", 1);
}

} // namespace
