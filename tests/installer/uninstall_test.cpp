// Removing the driver package: the family's device nodes, the search for the
// published copy, its deletion with PnPUtil, and the Windows 10 path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer_fixture.h"
#include "installer_logic.h"

namespace zendrik::testing {
namespace {

using Kind = ActionResult::Kind;

const std::wstring kStoreLocation =
    L"C:\\Windows\\System32\\DriverStore\\FileRepository\\ruxaimg.inf_x86_5f2a\\ruxaimg.inf";

class UnInstallTest : public InstallerTest {
protected:
    UnInstallTest() { OnVersion(6, 1); }

    void AddDevice(std::vector<std::wstring> hardwareIds, bool present = true) {
        FakeDevice device;
        device.hardwareIds = std::move(hardwareIds);
        device.present = present;
        os.devices.push_back(device);
    }
};

// --- Which device nodes belong to the family ----------------------------------

struct DeviceCase {
    const char* name;
    std::vector<std::wstring> hardwareIds;
    bool removed;
};

class FamilyDeviceTest : public UnInstallTest, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(FamilyDeviceTest, FirstHardwareIdDecides) {
    const DeviceCase& c = GetParam();
    AddDevice(c.hardwareIds);

    actions.UnInstall();

    const std::wstring& first = c.hardwareIds.front();
    std::vector<std::wstring> expected = {L"CZendrikApp::UnInstall_Win7()", first};
    if (c.removed) {
        expected.push_back(first);
    }
    EXPECT_EQ(os.traces, expected);
    EXPECT_EQ(os.devices[0].removed, c.removed);
    EXPECT_EQ(os.CallsStartingWith(L"SetupDiRemoveDevice").size(), c.removed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    HardwareIds, FamilyDeviceTest,
    ::testing::Values(
        DeviceCase{"C001", {L"USB\\VID_9E4A&PID_C001"}, true},
        DeviceCase{"C012WithRevision",
                   {L"USB\\VID_9E4A&PID_C012&REV_0100", L"USB\\VID_9E4A&PID_C012"}, true},
        DeviceCase{"C032WithInterface", {L"USB\\VID_9E4A&PID_C032&MI_00"}, true},
        DeviceCase{"LowerCase", {L"usb\\vid_9e4a&pid_c012&rev_0100"}, true},
        DeviceCase{"C013", {L"USB\\VID_9E4A&PID_C013"}, true},
        DeviceCase{"C031", {L"USB\\VID_9E4A&PID_C031"}, true},
        DeviceCase{"C004NotFamily", {L"USB\\VID_9E4A&PID_C004"}, false},
        DeviceCase{"C021NotFamily", {L"USB\\VID_9E4A&PID_C021&REV_0001"}, false},
        DeviceCase{"OtherVendor", {L"USB\\VID_045E&PID_C001"}, false},
        DeviceCase{"MatchOnlyInSecondString",
                   {L"USB\\VID_045E&PID_0040", L"USB\\VID_9E4A&PID_C001"}, false}),
    [](const ::testing::TestParamInfo<DeviceCase>& info) { return info.param.name; });

TEST_F(UnInstallTest, AbsentFamilyDevicesAreRemovedToo) {
    AddDevice({L"USB\\VID_9E4A&PID_C002"}, /*present=*/false);
    AddDevice({L"USB\\VID_9E4A&PID_C003"}, /*present=*/true);

    actions.UnInstall();

    EXPECT_EQ(os.CallsStartingWith(L"SetupDiGetClassDevsW"),
              (std::vector<std::wstring>{L"SetupDiGetClassDevsW(USB, 0x4)"}));
    EXPECT_EQ(os.RemovedDeviceCount(), 2u);
    ExpectEverythingReleased();
}

TEST_F(UnInstallTest, UnreadableDeviceIsSkippedAndTheNextStillRemoved) {
    AddDevice({L"USB\\VID_9E4A&PID_C001"});
    os.devices[0].readable = false;
    AddDevice({L"USB\\VID_9E4A&PID_C011", Repeat(L'x', 300)});  // list longer than the buffer
    AddDevice({L"USB\\VID_9E4A&PID_C011"});

    actions.UnInstall();

    EXPECT_FALSE(os.devices[0].removed);
    EXPECT_FALSE(os.devices[1].removed);
    EXPECT_TRUE(os.devices[2].removed);
    EXPECT_EQ(os.traces, (std::vector<std::wstring>{L"CZendrikApp::UnInstall_Win7()",
                                                    L"USB\\VID_9E4A&PID_C011",
                                                    L"USB\\VID_9E4A&PID_C011"}));
    EXPECT_EQ(os.hardwareIdCapacities, (std::vector<std::uint32_t>{260, 260, 260}));
}

TEST_F(UnInstallTest, UnterminatedHardwareIdStaysInsideTheBuffer) {
    AddDevice({L"USB\\VID_9E4A&PID_C001"});
    os.devices[0].unterminated = true;

    actions.UnInstall();

    ASSERT_GE(os.traces.size(), 2u);
    EXPECT_EQ(os.traces[1].size(), 259u);
    EXPECT_EQ(os.traces[1].substr(0, 21), L"USB\\VID_9E4A&PID_C001");
    EXPECT_TRUE(os.devices[0].removed);
}

TEST_F(UnInstallTest, NoDeviceSetStillSearchesAndDeletes) {
    os.classDevsFails = true;
    os.publishedInfs[4] = kStoreLocation;

    const ActionResult result = actions.UnInstall();

    EXPECT_TRUE(os.CallsStartingWith(L"SetupDiEnumDeviceInfo").empty());
    EXPECT_TRUE(os.CallsStartingWith(L"SetupDiDestroyDeviceInfoList").empty());
    EXPECT_EQ(os.startedCommandLines,
              (std::vector<std::wstring>{L"C:\\Windows\\System32\\PnPUtil.exe -f -d OEM4.inf"}));
    EXPECT_EQ(ExitCodeFor(result), 0u);
}

// --- Which published copy is deleted --------------------------------------------

struct PublishedCase {
    const char* name;
    std::map<std::uint32_t, std::wstring> published;
    const wchar_t* deletedName;  // null: nothing deleted
    std::size_t queries;
};

class PublishedCopyTest : public UnInstallTest,
                          public ::testing::WithParamInterface<PublishedCase> {};

TEST_P(PublishedCopyTest, LowestMarkedCopyIsDeleted) {
    const PublishedCase& c = GetParam();
    os.publishedInfs = c.published;

    const ActionResult result = actions.UnInstall();

    EXPECT_EQ(os.driverStoreQueries, c.queries);
    if (c.deletedName != nullptr) {
        const std::wstring commandLine =
            std::wstring(L"C:\\Windows\\System32\\PnPUtil.exe -f -d ") + c.deletedName;
        EXPECT_EQ(os.startedCommandLines, (std::vector<std::wstring>{commandLine}));
        EXPECT_EQ(os.traces.back(), L"[Zendrik_0]" + commandLine);
        EXPECT_EQ(ExitCodeFor(result), 0u);
    } else {
        EXPECT_TRUE(os.startedCommandLines.empty());
        EXPECT_EQ(os.traces, (std::vector<std::wstring>{L"CZendrikApp::UnInstall_Win7()"}));
        EXPECT_EQ(ExitCodeFor(result), 2u);  // ERROR_FILE_NOT_FOUND
    }
    ExpectEverythingReleased();
}

const std::wstring kOtherPackage =
    L"C:\\Windows\\System32\\DriverStore\\FileRepository\\camera.inf_x86_1\\camera.inf";

INSTANTIATE_TEST_SUITE_P(
    Copies, PublishedCopyTest,
    ::testing::Values(
        PublishedCase{"Oem0", {{0, kStoreLocation}}, L"OEM0.inf", 1},
        PublishedCase{"Oem2AndOem5", {{2, kStoreLocation}, {5, kStoreLocation}}, L"OEM2.inf", 3},
        PublishedCase{"Oem12", {{12, kStoreLocation}}, L"OEM12.inf", 13},
        PublishedCase{"Oem999", {{999, kStoreLocation}}, L"OEM999.inf", 1000},
        PublishedCase{"OtherPackageFirst", {{1, kOtherPackage}, {9, kStoreLocation}}, L"OEM9.inf", 10},
        PublishedCase{"MarkerInUpperCase",
                      {{6, L"C:\\WINDOWS\\DRIVERSTORE\\RUXAIMG.INF_X86_1\\RUXAIMG.INF"}}, L"OEM6.inf", 7},
        PublishedCase{"Oem1000NotSearched", {{1000, kStoreLocation}}, nullptr, 1000},
        PublishedCase{"NoneAtAll", {}, nullptr, 1000},
        PublishedCase{"OnlyOtherPackages", {{999, kOtherPackage}}, nullptr, 1000}),
    [](const ::testing::TestParamInfo<PublishedCase>& info) { return info.param.name; });

TEST_F(UnInstallTest, CandidatesAreTriedInIncreasingOrder) {
    os.publishedInfs[2] = kStoreLocation;

    actions.UnInstall();

    EXPECT_EQ(os.CallsStartingWith(L"SetupGetInfDriverStoreLocationW"),
              (std::vector<std::wstring>{
                  L"SetupGetInfDriverStoreLocationW(C:\\Windows\\Inf\\OEM0.inf)",
                  L"SetupGetInfDriverStoreLocationW(C:\\Windows\\Inf\\OEM1.inf)",
                  L"SetupGetInfDriverStoreLocationW(C:\\Windows\\Inf\\OEM2.inf)"}));
}

// --- The whole removal ----------------------------------------------------------

TEST_F(UnInstallTest, WholeRemovalTracesDevicesThenTheDeletionCommand) {
    AddDevice({L"USB\\VID_9E4A&PID_C012&REV_0100", L"USB\\VID_9E4A&PID_C012"});
    AddDevice({L"USB\\VID_9E4A&PID_C004"});
    AddDevice({L"USB\\VID_9E4A&PID_C001&MI_01"}, /*present=*/false);
    os.publishedInfs[7] = kStoreLocation;

    const ActionResult result = actions.UnInstall();

    EXPECT_EQ(os.traces, (std::vector<std::wstring>{
                             L"CZendrikApp::UnInstall_Win7()",
                             L"USB\\VID_9E4A&PID_C012&REV_0100",
                             L"USB\\VID_9E4A&PID_C012&REV_0100",
                             L"USB\\VID_9E4A&PID_C004",
                             L"USB\\VID_9E4A&PID_C001&MI_01",
                             L"USB\\VID_9E4A&PID_C001&MI_01",
                             L"[Zendrik_0]C:\\Windows\\System32\\PnPUtil.exe -f -d OEM7.inf",
                         }));
    EXPECT_TRUE(os.devices[0].removed);
    EXPECT_FALSE(os.devices[1].removed);
    EXPECT_TRUE(os.devices[2].removed);

    // Phases in order: every device before the search, the search before the tool.
    std::vector<std::wstring> phases;
    for (const std::wstring& call : os.calls) {
        for (const wchar_t* marker :
             {L"SetupDiRemoveDevice", L"SetupDiDestroyDeviceInfoList", L"GetWindowsDirectoryW",
              L"CreateProcessW", L"GetExitCodeProcess", L"CloseHandle"}) {
            if (call.rfind(marker, 0) == 0) {
                phases.push_back(marker);
            }
        }
    }
    EXPECT_EQ(phases, (std::vector<std::wstring>{
                          L"SetupDiRemoveDevice", L"SetupDiRemoveDevice",
                          L"SetupDiDestroyDeviceInfoList", L"GetWindowsDirectoryW",
                          L"CreateProcessW", L"GetExitCodeProcess", L"CloseHandle",
                          L"CloseHandle"}));
    EXPECT_EQ(os.creationFlags, (std::vector<std::uint32_t>{0x08000000}));
    EXPECT_EQ(ExitCodeFor(result), 0u);
    ExpectEverythingReleased();
}

TEST_F(UnInstallTest, PercentSignInTheWindowsDirectoryIsTracedUnchanged) {
    os.windowsDirectory = L"C:\\Win%s%d%n";
    os.publishedInfs[7] = kStoreLocation;

    actions.UnInstall();

    EXPECT_EQ(os.traces.back(), L"[Zendrik_0]C:\\Win%s%d%n\\System32\\PnPUtil.exe -f -d OEM7.inf");
}

TEST_F(UnInstallTest, DeletionQuotesTheToolPathWhenTheWindowsDirectoryHasASpace) {
    os.windowsDirectory = L"D:\\Win 7";
    os.publishedInfs[7] = kStoreLocation;

    actions.UnInstall();

    const std::wstring commandLine = L"\"D:\\Win 7\\System32\\PnPUtil.exe\" -f -d OEM7.inf";
    EXPECT_EQ(os.startedCommandLines, (std::vector<std::wstring>{commandLine}));
    EXPECT_EQ(os.traces.back(), L"[Zendrik_0]" + commandLine);
}

TEST_F(UnInstallTest, DeletionToolOutcomeReachesTheExitCode) {
    os.publishedInfs[7] = kStoreLocation;

    os.process = FakeProcess{};
    os.process.exitCode = 3010;
    EXPECT_EQ(ExitCodeFor(actions.UnInstall()), 3010u);

    os.process.exitCode = 5;
    EXPECT_EQ(ExitCodeFor(actions.UnInstall()), 5u);

    os.process.starts = false;
    os.process.startError = 2;
    EXPECT_EQ(ExitCodeFor(actions.UnInstall()), 2u);
    ExpectEverythingReleased();
}

struct LongWindowsDirectoryCase {
    const char* name;
    std::size_t length;
    std::size_t queries;
};

class LongWindowsDirectoryTest : public UnInstallTest,
                                 public ::testing::WithParamInterface<LongWindowsDirectoryCase> {};

TEST_P(LongWindowsDirectoryTest, PathsThatWouldNotFitAreRefused) {
    const LongWindowsDirectoryCase& c = GetParam();
    os.windowsDirectory = L"C:\\" + Repeat(L'w', c.length - 3);
    os.publishedInfs[12] = kStoreLocation;

    const ActionResult result = actions.UnInstall();

    EXPECT_EQ(os.driverStoreQueries, c.queries);
    EXPECT_TRUE(os.startedCommandLines.empty());
    EXPECT_EQ(os.traces, (std::vector<std::wstring>{L"CZendrikApp::UnInstall_Win7()"}));
    EXPECT_EQ(ExitCodeFor(result), 206u);
}

// "\Inf\OEM12.inf" takes 14 characters, "\System32\PnPUtil.exe -f -d OEM12.inf" 37.
INSTANTIATE_TEST_SUITE_P(
    Boundary, LongWindowsDirectoryTest,
    ::testing::Values(LongWindowsDirectoryCase{"CandidateOEM10DoesNotFit", 246, 10},
                      LongWindowsDirectoryCase{"CommandLineDoesNotFit", 240, 13}),
    [](const ::testing::TestParamInfo<LongWindowsDirectoryCase>& info) { return info.param.name; });

TEST_F(UnInstallTest, DeletionCommandLineOf259Fits) {
    os.windowsDirectory = L"C:\\" + Repeat(L'w', 222 - 3);
    os.publishedInfs[12] = kStoreLocation;

    actions.UnInstall();

    ASSERT_EQ(os.startedCommandLines.size(), 1u);
    EXPECT_EQ(os.startedCommandLines[0].size(), 259u);
}

// --- Windows 10 -----------------------------------------------------------------

TEST_F(UnInstallTest, Win10CallsDiUninstallDriverAndLeavesDevicesAlone) {
    OnVersion(10, 0);
    AddDevice({L"USB\\VID_9E4A&PID_C001"});
    os.currentDirectory = L"C:\\";

    const ActionResult result = actions.UnInstall();

    EXPECT_EQ(CallsAfterProbe(), (std::vector<std::wstring>{
                                     L"OutputDebugStringW(CZendrikApp::UnInstall())",
                                     L"GetCurrentDirectoryW(260)",
                                     L"OutputDebugStringW(C:\\\\RUXAImg.inf)",
                                     L"LoadLibraryW(Newdev.dll)",
                                     L"GetProcAddress(DiUninstallDriverW)",
                                     L"DiUninstallDriverW(C:\\\\RUXAImg.inf, 0)",
                                 }));
    EXPECT_FALSE(os.devices[0].removed);
    EXPECT_TRUE(os.rebootIndicationPresetFalse);
    EXPECT_EQ(ExitCodeFor(result), 0u);
}

TEST_F(UnInstallTest, Win10WithoutDiUninstallDriverFailsWithoutATrace) {
    OnVersion(10, 0);
    os.diUninstallDriver.exported = false;

    const ActionResult result = actions.UnInstall();

    EXPECT_EQ(os.traces, (std::vector<std::wstring>{L"CZendrikApp::UnInstall()",
                                                    L"D:\\Setup\\RUXAImg.inf"}));
    EXPECT_EQ(ExitCodeFor(result), 127u);
}

TEST_F(UnInstallTest, Win10RebootIndicationAsksForARestart) {
    OnVersion(10, 0);
    os.diUninstallDriver.needReboot = true;

    EXPECT_EQ(ExitCodeFor(actions.UnInstall()), 3010u);
}

}  // namespace
}  // namespace zendrik::testing
