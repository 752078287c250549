// The fixed values and texts: patterns, marker, command lines, paths and the
// prefixed trace.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_operating_system.h"
#include "installer_logic.h"

namespace zendrik {
namespace {

TEST(HardwareIdPatterns, TheFamilyInTableOrder) {
    const std::vector<std::wstring> patterns(HardwareIdPatterns.begin(), HardwareIdPatterns.end());
    EXPECT_EQ(patterns, (std::vector<std::wstring>{
                            L"USB\\VID_9E4A&PID_C001", L"USB\\VID_9E4A&PID_C002",
                            L"USB\\VID_9E4A&PID_C003", L"USB\\VID_9E4A&PID_C011",
                            L"USB\\VID_9E4A&PID_C012", L"USB\\VID_9E4A&PID_C013",
                            L"USB\\VID_9E4A&PID_C031", L"USB\\VID_9E4A&PID_C032"}));
}

TEST(ContainsIgnoringCase, SubstringAnywhereInAnyAsciiCase) {
    EXPECT_TRUE(ContainsIgnoringCase(L"C:\\X\\RuxaImg.INF_x86\\ruxaimg.inf", L"ruxaimg.inf"));
    EXPECT_TRUE(ContainsIgnoringCase(L"abc", L""));
    EXPECT_FALSE(ContainsIgnoringCase(L"", L"a"));
    EXPECT_FALSE(ContainsIgnoringCase(L"ruxaimg.in", L"ruxaimg.inf"));
    EXPECT_FALSE(IsOurDriverStoreLocation(L"C:\\Windows\\DriverStore\\ruxaimg2.inf_1\\x.inf"));
    EXPECT_TRUE(IsFamilyHardwareId(L"XUSB\\VID_9E4A&PID_C0011"));
}

TEST(CommandLines, ExactlyTheToolsFormsForAnOrdinaryWindowsDirectory) {
    PathText commandLine;
    ASSERT_TRUE(BuildInstallCommandLine(L"C:\\Windows", commandLine));
    EXPECT_EQ(std::wstring(commandLine.c_str()),
              L"C:\\Windows\\System32\\PnPUtil.exe -i -a .\\RUXAImg.inf");
    ASSERT_TRUE(BuildDeleteCommandLine(L"C:\\Windows", 12, commandLine));
    EXPECT_EQ(std::wstring(commandLine.c_str()), L"C:\\Windows\\System32\\PnPUtil.exe -f -d OEM12.inf");
}

TEST(CommandLines, ToolPathQuotedForSpaceOrTab) {
    PathText commandLine;
    ASSERT_TRUE(BuildDeleteCommandLine(L"C:\\My Windows", 0, commandLine));
    EXPECT_EQ(std::wstring(commandLine.c_str()),
              L"\"C:\\My Windows\\System32\\PnPUtil.exe\" -f -d OEM0.inf");
    ASSERT_TRUE(BuildInstallCommandLine(L"C:\\Tab\tWin", commandLine));
    EXPECT_EQ(std::wstring(commandLine.c_str()),
              L"\"C:\\Tab\tWin\\System32\\PnPUtil.exe\" -i -a .\\RUXAImg.inf");
}

TEST(CommandLines, QuotesCountTowardsTheBoundary) {
    // With quotes the install command line takes 43 characters beyond the directory.
    PathText commandLine;
    const std::wstring fits = L"C:\\ " + std::wstring(216 - 4, L'w');
    ASSERT_TRUE(BuildInstallCommandLine(fits.c_str(), commandLine));
    EXPECT_EQ(commandLine.length(), 259u);
    const std::wstring tooLong = fits + L"w";
    EXPECT_FALSE(BuildInstallCommandLine(tooLong.c_str(), commandLine));
    EXPECT_TRUE(commandLine.empty());
}

TEST(Paths, CandidatesAndPackage) {
    PathText path;
    ASSERT_TRUE(BuildOemInfPath(L"C:\\Windows", 0, path));
    EXPECT_EQ(std::wstring(path.c_str()), L"C:\\Windows\\Inf\\OEM0.inf");
    ASSERT_TRUE(BuildOemInfPath(L"C:\\Windows", 999, path));
    EXPECT_EQ(std::wstring(path.c_str()), L"C:\\Windows\\Inf\\OEM999.inf");
    ASSERT_TRUE(BuildOemInfName(7, path));
    EXPECT_EQ(std::wstring(path.c_str()), L"OEM7.inf");
    ASSERT_TRUE(BuildPackagePath(L"C:\\", path));
    EXPECT_EQ(std::wstring(path.c_str()), L"C:\\\\RUXAImg.inf");
}

class DebugTraceTest : public ::testing::Test {
protected:
    std::wstring TraceOf(const std::wstring& message) {
        DebugTrace(os, message.c_str());
        return os.traces.back();
    }
    testing::FakeOperatingSystem os;
};

TEST_F(DebugTraceTest, PrefixWithoutSpaceOrLineEnd) {
    EXPECT_EQ(TraceOf(L"C:\\Windows\\System32\\PnPUtil.exe -f -d OEM7.inf"),
              L"[Zendrik_0]C:\\Windows\\System32\\PnPUtil.exe -f -d OEM7.inf");
    EXPECT_EQ(TraceOf(L""), L"[Zendrik_0]");
}

TEST_F(DebugTraceTest, MessageIsTextNotAFormat) {
    EXPECT_EQ(TraceOf(L"100%s %d %n %%"), L"[Zendrik_0]100%s %d %n %%");
}

TEST_F(DebugTraceTest, LongMessageCutShortToTheBuffer) {
    // 11 characters of prefix leave 1012 for the message before the terminator.
    const std::wstring fits(1012, L'm');
    EXPECT_EQ(TraceOf(fits), L"[Zendrik_0]" + fits);
    EXPECT_EQ(TraceOf(fits + L"xyz"), L"[Zendrik_0]" + fits);
    EXPECT_EQ(TraceOf(std::wstring(5000, L'm')).size(), 1023u);
}

}  // namespace
}  // namespace zendrik
