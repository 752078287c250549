// The common start of the installer tests: a scripted Windows and the actions
// running over it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_operating_system.h"
#include "installer_actions.h"

namespace zendrik::testing {

class InstallerTest : public ::testing::Test {
protected:
    void OnVersion(std::uint32_t major, std::uint32_t minor) {
        os.major = major;
        os.minor = minor;
    }

    // Everything after the version probe, which every action starts with.
    std::vector<std::wstring> CallsAfterProbe() const {
        const std::vector<std::wstring>& calls = os.calls;
        const std::size_t probeCalls = 3;
        if (calls.size() < probeCalls) {
            return {};
        }
        return {calls.begin() + probeCalls, calls.end()};
    }

    void ExpectEverythingReleased() const {
        EXPECT_EQ(os.OpenHandleCount(), 0u);
        EXPECT_EQ(os.OpenDeviceSetCount(), 0u);
        EXPECT_FALSE(os.badHandleUsed);
    }

    FakeOperatingSystem os;
    InstallerActions actions{os};
};

inline std::wstring Repeat(wchar_t c, std::size_t count) { return std::wstring(count, c); }

}  // namespace zendrik::testing
