// The main dialog's decisions: the About command, the minimised icon's place,
// the system-menu entry, and the buttons.
#include <gtest/gtest.h>

#include <limits>

#include "dialog_logic.h"
#include "installer_fixture.h"

namespace zendrik::testing {
namespace {

struct SysCommandCase {
    std::uint32_t command;
    bool about;
};

class SysCommandTest : public ::testing::TestWithParam<SysCommandCase> {};

TEST_P(SysCommandTest, LowFourBitsAreIgnored) {
    EXPECT_EQ(IsAboutCommand(GetParam().command), GetParam().about) << GetParam().command;
}

INSTANTIATE_TEST_SUITE_P(Commands, SysCommandTest,
                         ::testing::Values(SysCommandCase{15, false}, SysCommandCase{16, true},
                                           SysCommandCase{23, true}, SysCommandCase{31, true},
                                           SysCommandCase{32, false},
                                           SysCommandCase{0xF060, false},    // close
                                           SysCommandCase{0xF012, false},    // move by caption
                                           SysCommandCase{0xF020, false}));  // minimise

struct IconCase {
    int clientWidth;
    int clientHeight;
    int x;
    int y;
};

class IconOriginTest : public ::testing::TestWithParam<IconCase> {};

TEST_P(IconOriginTest, CentredWithTruncatingDivision) {
    const IconCase& c = GetParam();
    const IconOrigin origin = MinimisedIconOrigin(c.clientWidth, c.clientHeight, 32, 32);
    EXPECT_EQ(origin.x, c.x);
    EXPECT_EQ(origin.y, c.y);
}

INSTANTIATE_TEST_SUITE_P(Widths, IconOriginTest,
                         ::testing::Values(IconCase{36, 36, 2, 2}, IconCase{35, 36, 2, 2},
                                           IconCase{33, 35, 1, 2}, IconCase{30, 33, 0, 1},
                                           IconCase{28, 28, -1, -1}, IconCase{0, 0, -15, -15}));

TEST(IconOrigin, ExtremeSizesDoNotOverflow) {
    constexpr int kMax = std::numeric_limits<int>::max();
    constexpr int kMin = std::numeric_limits<int>::min();
    const IconOrigin wide = MinimisedIconOrigin(kMax, kMin, kMin, kMax);
    EXPECT_EQ(wide.x, kMax);
    EXPECT_EQ(wide.y, kMin + 1);
}

struct AboutEntryCase {
    bool hasSystemMenu;
    const wchar_t* text;
    bool added;
};

class AboutEntryTest : public ::testing::TestWithParam<AboutEntryCase> {};

TEST_P(AboutEntryTest, NeedsAMenuAndAText) {
    const AboutEntryCase& c = GetParam();
    EXPECT_EQ(ShouldAddAboutEntry(c.hasSystemMenu, c.text), c.added);
}

INSTANTIATE_TEST_SUITE_P(Entries, AboutEntryTest,
                         ::testing::Values(AboutEntryCase{true, L"&About Zendrik...", true},
                                           AboutEntryCase{true, L"", false},
                                           AboutEntryCase{true, nullptr, false},
                                           AboutEntryCase{false, L"&About Zendrik...", false}));

TEST_F(InstallerTest, ButtonsRunTheActionsInFullEachClick) {
    OnVersion(6, 1);
    os.publishedInfs[1] = L"C:\\Windows\\System32\\DriverStore\\ruxaimg.inf_x86_1\\ruxaimg.inf";
    DialogLogic dialog(actions);

    dialog.OnInstallClicked();
    dialog.OnInstallClicked();
    dialog.OnUninstallClicked();

    EXPECT_EQ(os.startedCommandLines,
              (std::vector<std::wstring>{
                  L"C:\\Windows\\System32\\PnPUtil.exe -i -a .\\RUXAImg.inf",
                  L"C:\\Windows\\System32\\PnPUtil.exe -i -a .\\RUXAImg.inf",
                  L"C:\\Windows\\System32\\PnPUtil.exe -f -d OEM1.inf"}));
    EXPECT_EQ(os.CallsStartingWith(L"GetModuleHandleW(ntdll)").size(), 3u);
    ExpectEverythingReleased();
}

}  // namespace
}  // namespace zendrik::testing
