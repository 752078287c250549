// Start-up: which argument vector runs which action, and the exit code the
// process ends with.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "installer_fixture.h"

namespace zendrik::testing {
namespace {

class Arguments {
public:
    explicit Arguments(std::vector<std::wstring> options) : texts_(std::move(options)) {
        texts_.insert(texts_.begin(), L"C:\\Tools\\Zendrik_x86.exe");
        for (const std::wstring& text : texts_) {
            pointers_.push_back(text.c_str());
        }
    }
    int count() const { return static_cast<int>(pointers_.size()); }
    const wchar_t* const* vector() const { return pointers_.data(); }

private:
    std::vector<std::wstring> texts_;
    std::vector<const wchar_t*> pointers_;
};

struct OptionCase {
    const char* name;
    std::vector<std::wstring> options;
    StartupChoice choice;
};

class StartupChoiceTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(StartupChoiceTest, WholeArgumentIgnoringAsciiCase) {
    const Arguments arguments(GetParam().options);
    EXPECT_EQ(ChooseStartup(arguments.count(), arguments.vector()), GetParam().choice);
}

using S = StartupChoice;
INSTANTIATE_TEST_SUITE_P(
    Options, StartupChoiceTest,
    ::testing::Values(
        OptionCase{"NoArgument", {}, S::ShowDialog},
        OptionCase{"Install", {L"/Install"}, S::Install},
        OptionCase{"InstallLower", {L"/install"}, S::Install},
        OptionCase{"InstallUpper", {L"/INSTALL"}, S::Install},
        OptionCase{"InstallMixed", {L"/iNsTaLl"}, S::Install},
        OptionCase{"UnInstall", {L"/UnInstall"}, S::UnInstall},
        OptionCase{"UnInstallLower", {L"/uninstall"}, S::UnInstall},
        OptionCase{"ShowUI", {L"/ShowUI"}, S::ShowDialog},
        OptionCase{"ShowUILower", {L"/showui"}, S::ShowDialog},
        // The split has already taken the quotes of "/Install" away; quotes still
        // in the element were escaped ones and belong to the text.
        OptionCase{"QuotesRemovedBySplit", {L"/Install"}, S::Install},
        OptionCase{"QuotesKeptInText", {L"\"/Install\""}, S::InvalidArgument},
        OptionCase{"WithoutSlash", {L"Install"}, S::InvalidArgument},
        OptionCase{"DashSeparator", {L"-Install"}, S::InvalidArgument},
        OptionCase{"Suffixed", {L"/Install:1"}, S::InvalidArgument},
        OptionCase{"ShowUISuffixed", {L"/ShowUI2"}, S::InvalidArgument},
        OptionCase{"Prefixed", {L"x/Install"}, S::InvalidArgument},
        OptionCase{"TrailingSpace", {L"/Install "}, S::InvalidArgument},
        OptionCase{"Prefix", {L"/Inst"}, S::InvalidArgument},
        OptionCase{"Empty", {L""}, S::InvalidArgument},
        OptionCase{"NonAsciiCapitalI", {L"/\u0130nstall"}, S::InvalidArgument},
        OptionCase{"TwoArguments", {L"/Install", L"/ShowUI"}, S::ShowDialog},
        OptionCase{"ThreeArguments", {L"/UnInstall", L"a", L"b"}, S::ShowDialog}),
    [](const ::testing::TestParamInfo<OptionCase>& info) { return info.param.name; });

TEST(StartupChoice, FailedSplitShowsTheDialog) {
    EXPECT_EQ(ChooseStartup(0, nullptr), StartupChoice::ShowDialog);
    EXPECT_EQ(ChooseStartup(2, nullptr), StartupChoice::ShowDialog);
}

TEST(StartupChoice, MissingElementIsNoOption) {
    const wchar_t* const broken[] = {L"Zendrik_x86.exe", nullptr};
    EXPECT_EQ(ChooseStartup(2, broken), StartupChoice::InvalidArgument);
}

// --- Exit codes ------------------------------------------------------------------

struct ExitCase {
    const char* name;
    std::vector<std::wstring> options;
    std::uint32_t major;
    std::uint32_t minor;
    std::uint32_t newdevError;  // 0: the Newdev.dll call succeeds
    bool needReboot;
    std::optional<std::uint32_t> exitCode;  // none: the dialog is shown
};

class CommandLineExitTest : public InstallerTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(CommandLineExitTest, OutcomeReachesTheExitCode) {
    const ExitCase& c = GetParam();
    OnVersion(c.major, c.minor);
    for (FakeNewdevEntry* entry : {&os.diInstallDriver, &os.diUninstallDriver}) {
        entry->succeeds = c.newdevError == 0;
        entry->lastError = c.newdevError;
        entry->needReboot = c.needReboot;
    }
    const Arguments arguments(c.options);

    EXPECT_EQ(RunCommandLine(actions, os, arguments.count(), arguments.vector()), c.exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    ExitCodes, CommandLineExitTest,
    ::testing::Values(
        ExitCase{"InstallSucceeded", {L"/Install"}, 10, 0, 0, false, 0u},
        ExitCase{"InstallNeedsRestart", {L"/install"}, 10, 0, 0, true, 3010u},
        ExitCase{"InstallInWow64", {L"/INSTALL"}, 10, 0, 0xE0000235, false, 0xE0000235u},
        ExitCase{"InstallNoPathOnVista", {L"/Install"}, 6, 0, 0, false, 0u},
        ExitCase{"InstallNoPathOn11", {L"/Install"}, 11, 0, 0, false, 0u},
        ExitCase{"UnInstallSucceeded", {L"/UnInstall"}, 10, 0, 0, false, 0u},
        ExitCase{"UnInstallAccessDenied", {L"/uninstall"}, 10, 0, 5, false, 5u},
        ExitCase{"UnInstallNeedsRestart", {L"/UnInstall"}, 10, 0, 0, true, 3010u},
        ExitCase{"ShowUI", {L"/ShowUI"}, 10, 0, 0, false, std::nullopt},
        ExitCase{"NoArgument", {}, 10, 0, 0, false, std::nullopt},
        ExitCase{"InvalidArgument", {L"-Install"}, 10, 0, 0, false, 87u}),
    [](const ::testing::TestParamInfo<ExitCase>& info) { return info.param.name; });

TEST_F(InstallerTest, InvalidArgumentTracesOnceAndDoesNothingElse) {
    const Arguments arguments({L"/Install:1"});

    EXPECT_EQ(RunCommandLine(actions, os, arguments.count(), arguments.vector()), 87u);
    EXPECT_EQ(os.calls, (std::vector<std::wstring>{L"OutputDebugStringW(Invalid Arguments)"}));
}

TEST_F(InstallerTest, DialogChoiceTouchesNothing) {
    const Arguments arguments({L"/Install", L"/ShowUI"});

    EXPECT_EQ(RunCommandLine(actions, os, arguments.count(), arguments.vector()), std::nullopt);
    EXPECT_TRUE(os.calls.empty());
}

TEST_F(InstallerTest, FailedProbeExitsWithOne) {
    os.hasNtdll = false;
    const Arguments arguments({L"/UnInstall"});

    EXPECT_EQ(RunCommandLine(actions, os, arguments.count(), arguments.vector()), 1u);
    EXPECT_TRUE(os.traces.empty());
}

}  // namespace
}  // namespace zendrik::testing
