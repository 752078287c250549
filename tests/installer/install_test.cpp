// Installing the driver package: the path per Windows version, the PnPUtil
// command line and its exit code, the Newdev.dll call and its failure traces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer_fixture.h"
#include "installer_logic.h"

namespace zendrik::testing {
namespace {

using Kind = ActionResult::Kind;

// --- Which path runs on which Windows version, for both actions ------------

struct VersionCase {
    const char* name;
    bool hasNtdll;
    bool hasRtlGetVersion;
    std::uint32_t major;
    std::uint32_t minor;
    const wchar_t* installTrace;    // first trace of Install, null for none
    const wchar_t* uninstallTrace;  // first trace of UnInstall, null for none
    std::uint32_t exitCodeWithoutPath;
};

class VersionPathTest : public InstallerTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionPathTest, SelectsThePathByVersion) {
    const VersionCase& c = GetParam();
    os.hasNtdll = c.hasNtdll;
    os.hasRtlGetVersion = c.hasRtlGetVersion;
    OnVersion(c.major, c.minor);
    os.publishedInfs[3] = L"C:\\Windows\\System32\\DriverStore\\FileRepository\\ruxaimg.inf_x86_1\\ruxaimg.inf";

    const ActionResult installed = actions.Install();
    const std::vector<std::wstring> installTraces = os.traces;
    os.traces.clear();
    const ActionResult removed = actions.UnInstall();

    if (c.installTrace == nullptr) {
        EXPECT_TRUE(installTraces.empty());
        EXPECT_TRUE(os.traces.empty());
        EXPECT_TRUE(os.startedCommandLines.empty());
        EXPECT_TRUE(os.CallsStartingWith(L"LoadLibraryW").empty());
        EXPECT_TRUE(os.CallsStartingWith(L"SetupDi").empty());
        EXPECT_EQ(ExitCodeFor(installed), c.exitCodeWithoutPath);
        EXPECT_EQ(ExitCodeFor(removed), c.exitCodeWithoutPath);
    } else {
        ASSERT_FALSE(installTraces.empty());
        EXPECT_EQ(installTraces.front(), c.installTrace);
        ASSERT_FALSE(os.traces.empty());
        EXPECT_EQ(os.traces.front(), c.uninstallTrace);
        EXPECT_EQ(installed.kind, Kind::Succeeded);
        EXPECT_EQ(removed.kind, Kind::Succeeded);
    }
    ExpectEverythingReleased();
}

constexpr const wchar_t* kWin7 = L"CZendrikApp::Install_Win7()";
constexpr const wchar_t* kWin7Removal = L"CZendrikApp::UnInstall_Win7()";
constexpr const wchar_t* kWin10 = L"CZendrikApp::Install_Win10()";
constexpr const wchar_t* kWin10Removal = L"CZendrikApp::UnInstall()";

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionPathTest,
    ::testing::Values(VersionCase{"Win5_1", true, true, 5, 1, nullptr, nullptr, 0},
                      VersionCase{"Win6_0", true, true, 6, 0, nullptr, nullptr, 0},
                      VersionCase{"Win6_1", true, true, 6, 1, kWin7, kWin7Removal, 0},
                      VersionCase{"Win6_2", true, true, 6, 2, kWin7, kWin7Removal, 0},
                      VersionCase{"Win6_3", true, true, 6, 3, kWin7, kWin7Removal, 0},
                      VersionCase{"Win6_4", true, true, 6, 4, kWin7, kWin7Removal, 0},
                      VersionCase{"Win10_0", true, true, 10, 0, kWin10, kWin10Removal, 0},
                      VersionCase{"Win10_7", true, true, 10, 7, kWin10, kWin10Removal, 0},
                      VersionCase{"Win11_0", true, true, 11, 0, nullptr, nullptr, 0},
                      VersionCase{"NoNtdll", false, true, 10, 0, nullptr, nullptr, 1},
                      VersionCase{"NoRtlGetVersion", true, false, 10, 0, nullptr, nullptr, 1}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return info.param.name; });

TEST_F(InstallerTest, ProbeHandsTheExtendedRecordSizeAndIsRepeatedEachCall) {
    actions.Install();
    actions.Install();
    EXPECT_EQ(os.versionRecordSizes, (std::vector<std::uint32_t>{284, 284}));
    EXPECT_EQ(os.CallsStartingWith(L"GetModuleHandleW(ntdll)").size(), 2u);
}

// --- Windows 6.x: PnPUtil ---------------------------------------------------

TEST_F(InstallerTest, Win7StartsPnpUtilOnceAndWaitsBeforeReadingItsExitCode) {
    OnVersion(6, 1);

    const ActionResult result = actions.Install();

    EXPECT_EQ(CallsAfterProbe(),
              (std::vector<std::wstring>{
                  L"OutputDebugStringW(CZendrikApp::Install_Win7())",
                  L"GetWindowsDirectoryW(260)",
                  L"CreateProcessW(C:\\Windows\\System32\\PnPUtil.exe -i -a .\\RUXAImg.inf)",
                  L"WaitForSingleObject(process, 0xFFFFFFFF)",
                  L"GetExitCodeProcess(process)",
                  L"CloseHandle(process)",
                  L"CloseHandle(thread)",
              }));
    EXPECT_EQ(os.creationFlags, (std::vector<std::uint32_t>{0x08000000}));
    EXPECT_EQ(result.kind, Kind::Succeeded);
    EXPECT_EQ(ExitCodeFor(result), 0u);
    ExpectEverythingReleased();
}

TEST_F(InstallerTest, Win7QuotesTheToolPathWhenTheWindowsDirectoryHasASpace) {
    OnVersion(6, 1);
    os.windowsDirectory = L"C:\\Program Files\\Win";

    actions.Install();

    EXPECT_EQ(os.startedCommandLines,
              (std::vector<std::wstring>{
                  L"\"C:\\Program Files\\Win\\System32\\PnPUtil.exe\" -i -a .\\RUXAImg.inf"}));
}

TEST_F(InstallerTest, Win7NamesThePackageRelativeToTheCurrentDirectory) {
    OnVersion(6, 3);
    os.currentDirectory = L"E:\\Elsewhere";

    actions.Install();

    ASSERT_EQ(os.startedCommandLines.size(), 1u);
    EXPECT_EQ(os.startedCommandLines[0],
              L"C:\\Windows\\System32\\PnPUtil.exe -i -a .\\RUXAImg.inf");
    EXPECT_TRUE(os.CallsStartingWith(L"GetCurrentDirectoryW").empty());
}

struct ToolCase {
    const char* name;
    FakeProcess process;
    Kind kind;
    std::uint32_t exitCode;
    bool waited;
};

class ToolOutcomeTest : public InstallerTest, public ::testing::WithParamInterface<ToolCase> {};

TEST_P(ToolOutcomeTest, ExitCodeFollowsTheTool) {
    const ToolCase& c = GetParam();
    OnVersion(6, 1);
    os.process = c.process;

    const ActionResult result = actions.Install();

    EXPECT_EQ(result.kind, c.kind);
    EXPECT_EQ(ExitCodeFor(result), c.exitCode);
    EXPECT_EQ(os.CallsStartingWith(L"WaitForSingleObject").size(), c.waited ? 1u : 0u);
    EXPECT_EQ(os.CallsStartingWith(L"CloseHandle").size(), c.waited ? 2u : 0u);
    EXPECT_EQ(os.traces, (std::vector<std::wstring>{L"CZendrikApp::Install_Win7()"}));
    ExpectEverythingReleased();
}

FakeProcess Exits(std::uint32_t code) {
    FakeProcess p;
    p.exitCode = code;
    return p;
}
FakeProcess DoesNotStart(std::uint32_t error) {
    FakeProcess p;
    p.starts = false;
    p.startError = error;
    return p;
}
FakeProcess WaitFails() {
    FakeProcess p;
    p.waitFails = true;
    return p;
}
FakeProcess ExitCodeUnreadable() {
    FakeProcess p;
    p.exitCodeFails = true;
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ToolOutcomeTest,
    ::testing::Values(ToolCase{"Success", Exits(0), Kind::Succeeded, 0, true},
                      ToolCase{"RestartNeeded", Exits(3010), Kind::SucceededRestartNeeded, 3010, true},
                      ToolCase{"NoMatchingDevice", Exits(259), Kind::Failed, 259, true},
                      ToolCase{"ToolFailed", Exits(1), Kind::Failed, 1, true},
                      ToolCase{"ToolMissing", DoesNotStart(2), Kind::Failed, 2, false},
                      ToolCase{"StartFailedWithoutCode", DoesNotStart(0), Kind::Failed, 1, false},
                      ToolCase{"WaitFailed", WaitFails(), Kind::Failed, 6, true},
                      ToolCase{"ExitCodeUnreadable", ExitCodeUnreadable(), Kind::Failed, 6, true}),
    [](const ::testing::TestParamInfo<ToolCase>& info) { return info.param.name; });

TEST_F(InstallerTest, Win7RefusesWhenTheWindowsDirectoryCannotBeRead) {
    OnVersion(6, 1);
    os.windowsDirectoryError = 5;

    const ActionResult result = actions.Install();

    EXPECT_TRUE(os.startedCommandLines.empty());
    EXPECT_EQ(ExitCodeFor(result), 5u);
}

struct LongDirectoryCase {
    const char* name;
    std::size_t windowsDirectoryLength;
    bool started;
};

class Win7LongDirectoryTest : public InstallerTest,
                              public ::testing::WithParamInterface<LongDirectoryCase> {};

TEST_P(Win7LongDirectoryTest, CommandLineThatWouldNotFitIsRefused) {
    const LongDirectoryCase& c = GetParam();
    OnVersion(6, 1);
    os.windowsDirectory = L"C:\\" + Repeat(L'w', c.windowsDirectoryLength - 3);

    const ActionResult result = actions.Install();

    if (c.started) {
        ASSERT_EQ(os.startedCommandLines.size(), 1u);
        EXPECT_EQ(os.startedCommandLines[0].size(), 259u);
        EXPECT_EQ(ExitCodeFor(result), 0u);
    } else {
        EXPECT_TRUE(os.startedCommandLines.empty());
        EXPECT_EQ(ExitCodeFor(result), 206u);  // ERROR_FILENAME_EXCED_RANGE
    }
}

// "\System32\PnPUtil.exe -i -a .\RUXAImg.inf" takes 41 of the 259 characters.
INSTANTIATE_TEST_SUITE_P(
    Boundary, Win7LongDirectoryTest,
    ::testing::Values(LongDirectoryCase{"CommandLineOf259Fits", 218, true},
                      LongDirectoryCase{"CommandLineOf260Refused", 219, false},
                      LongDirectoryCase{"DirectoryOf259Refused", 259, false},
                      LongDirectoryCase{"DirectoryBeyondTheBuffer", 300, false}),
    [](const ::testing::TestParamInfo<LongDirectoryCase>& info) { return info.param.name; });

// --- Windows 10: Newdev.dll -------------------------------------------------

TEST_F(InstallerTest, Win10HandsTheFullPackagePathToDiInstallDriver) {
    OnVersion(10, 0);

    const ActionResult result = actions.Install();

    EXPECT_EQ(CallsAfterProbe(), (std::vector<std::wstring>{
                                     L"OutputDebugStringW(CZendrikApp::Install_Win10())",
                                     L"GetCurrentDirectoryW(260)",
                                     L"OutputDebugStringW(D:\\Setup\\RUXAImg.inf)",
                                     L"LoadLibraryW(Newdev.dll)",
                                     L"GetProcAddress(DiInstallDriverW)",
                                     L"DiInstallDriverW(D:\\Setup\\RUXAImg.inf, 0)",
                                 }));
    EXPECT_TRUE(os.rebootIndicationPresetFalse);
    EXPECT_EQ(ExitCodeFor(result), 0u);
}

TEST_F(InstallerTest, Win10AtADriveRootGivesTwoBackslashes) {
    OnVersion(10, 0);
    os.currentDirectory = L"C:\\";

    actions.Install();

    EXPECT_EQ(os.CallsStartingWith(L"DiInstallDriverW"),
              (std::vector<std::wstring>{L"DiInstallDriverW(C:\\\\RUXAImg.inf, 0)"}));
}

TEST_F(InstallerTest, Win10RebootIndicationAsksForARestart) {
    OnVersion(10, 0);
    os.diInstallDriver.needReboot = true;

    const ActionResult result = actions.Install();

    EXPECT_EQ(result.kind, Kind::SucceededRestartNeeded);
    EXPECT_EQ(ExitCodeFor(result), 3010u);
}

TEST_F(InstallerTest, Win10MissingNewdevOrEntryFailsWithoutATrace) {
    OnVersion(10, 0);
    os.newdevLoads = false;
    EXPECT_EQ(ExitCodeFor(actions.Install()), 126u);  // ERROR_MOD_NOT_FOUND

    os.newdevLoads = true;
    os.diInstallDriver.exported = false;
    EXPECT_EQ(ExitCodeFor(actions.Install()), 127u);  // ERROR_PROC_NOT_FOUND

    // Each run traces only its name and the path.
    EXPECT_EQ(os.traces.size(), 4u);
    EXPECT_TRUE(os.CallsStartingWith(L"DiInstallDriverW").empty());
}

struct PackagePathCase {
    const char* name;
    std::size_t currentDirectoryLength;
    bool called;
};

class Win10LongDirectoryTest : public InstallerTest,
                               public ::testing::WithParamInterface<PackagePathCase> {};

TEST_P(Win10LongDirectoryTest, PackagePathThatWouldNotFitIsRefused) {
    const PackagePathCase& c = GetParam();
    OnVersion(10, 0);
    os.currentDirectory = L"D:\\" + Repeat(L'd', c.currentDirectoryLength - 3);

    const ActionResult result = actions.Install();

    EXPECT_EQ(os.CallsStartingWith(L"DiInstallDriverW").size(), c.called ? 1u : 0u);
    if (c.called) {
        EXPECT_EQ(os.traces.at(1).size(), 259u);
        EXPECT_EQ(ExitCodeFor(result), 0u);
    } else {
        EXPECT_EQ(os.traces, (std::vector<std::wstring>{L"CZendrikApp::Install_Win10()"}));
        EXPECT_TRUE(os.CallsStartingWith(L"LoadLibraryW").empty());
        EXPECT_EQ(ExitCodeFor(result), 206u);
    }
}

// "\RUXAImg.inf" takes 12 of the 259 characters.
INSTANTIATE_TEST_SUITE_P(
    Boundary, Win10LongDirectoryTest,
    ::testing::Values(PackagePathCase{"PathOf259Fits", 247, true},
                      PackagePathCase{"PathOf260Refused", 248, false},
                      PackagePathCase{"DirectoryBeyondTheBuffer", 400, false}),
    [](const ::testing::TestParamInfo<PackagePathCase>& info) { return info.param.name; });

TEST_F(InstallerTest, Win10UnreadableCurrentDirectoryIsRefused) {
    OnVersion(10, 0);
    os.currentDirectoryError = 3;  // ERROR_PATH_NOT_FOUND

    EXPECT_EQ(ExitCodeFor(actions.Install()), 3u);
    EXPECT_TRUE(os.CallsStartingWith(L"DiInstallDriverW").empty());
}

// The error names, for both Newdev.dll calls.
struct ErrorNameCase {
    const char* name;
    std::uint32_t lastError;
    const wchar_t* trace;  // null: nothing traced
    std::uint32_t exitCode;
};

class NewdevErrorTest : public InstallerTest, public ::testing::WithParamInterface<ErrorNameCase> {};

TEST_P(NewdevErrorTest, FailureTracesTheErrorNameAndReachesTheExitCode) {
    const ErrorNameCase& c = GetParam();
    OnVersion(10, 0);
    os.diInstallDriver.succeeds = false;
    os.diInstallDriver.lastError = c.lastError;
    os.diUninstallDriver = os.diInstallDriver;

    for (bool install : {true, false}) {
        os.traces.clear();
        const ActionResult result = install ? actions.Install() : actions.UnInstall();
        std::vector<std::wstring> expected = {
            install ? L"CZendrikApp::Install_Win10()" : L"CZendrikApp::UnInstall()",
            L"D:\\Setup\\RUXAImg.inf"};
        if (c.trace != nullptr) {
            expected.push_back(c.trace);
        }
        EXPECT_EQ(os.traces, expected) << (install ? "install" : "removal");
        EXPECT_EQ(ExitCodeFor(result), c.exitCode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ErrorNames, NewdevErrorTest,
    ::testing::Values(ErrorNameCase{"FileNotFound", 2, L"ERROR_FILE_NOT_FOUND", 2},
                      ErrorNameCase{"AccessDenied", 5, L"ERROR_ACCESS_DENIED", 5},
                      ErrorNameCase{"InvalidFlags", 0x3EC, L"ERROR_INVALID_FLAGS", 0x3EC},
                      ErrorNameCase{"InWow64", 0xE0000235, L"ERROR_IN_WOW64", 0xE0000235},
                      ErrorNameCase{"InvalidParameter", 87, nullptr, 87},
                      ErrorNameCase{"NoCodeKnown", 0, nullptr, 1}),
    [](const ::testing::TestParamInfo<ErrorNameCase>& info) { return info.param.name; });

TEST_F(InstallerTest, InstallTwiceRunsTwiceInFull) {
    OnVersion(10, 0);

    actions.Install();
    actions.Install();

    EXPECT_EQ(os.CallsStartingWith(L"LoadLibraryW(Newdev.dll)").size(), 2u);
    EXPECT_EQ(os.CallsStartingWith(L"DiInstallDriverW").size(), 2u);
    EXPECT_EQ(os.traces, (std::vector<std::wstring>{
                             L"CZendrikApp::Install_Win10()", L"D:\\Setup\\RUXAImg.inf",
                             L"CZendrikApp::Install_Win10()", L"D:\\Setup\\RUXAImg.inf"}));
}

}  // namespace
}  // namespace zendrik::testing
