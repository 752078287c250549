// The installer's fixed values and the decisions that need no Windows call:
// the version path, the error names, the device family, the driver-store
// marker and the texts handed to PnPUtil, Newdev.dll and the debugger.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "fixed_text.h"
#include "operating_system.h"

namespace zendrik {

// Win32 values the installer passes or compares.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorFilenameExcedRange = 206;
constexpr std::uint32_t kErrorInvalidFlags = 1004;
constexpr std::uint32_t kErrorSuccessRebootRequired = 3010;
constexpr std::uint32_t kErrorInWow64 = 0xE0000235;
constexpr std::uint32_t kCreateNoWindow = 0x08000000;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kDigcfAllClasses = 0x4;
constexpr std::uint32_t kVersionRecordSize = 284;  // the extended record

struct WindowsVersion {
    bool succeeded = false;
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
};

// Looks ntdll's RtlGetVersion up among the loaded modules and calls it. Nothing
// is cached: each action probes anew.
WindowsVersion QueryWindowsVersion(IOperatingSystem& os);

enum class VersionPath {
    None,   // nothing to do on this version
    Win7,   // PnPUtil, Windows 6.x with a nonzero minor
    Win10,  // Newdev.dll, major version 10
};
VersionPath SelectVersionPath(const WindowsVersion& version);

// The name traced when a Newdev.dll call fails, or null for codes without one.
const wchar_t* ErrorName(std::uint32_t lastError);

constexpr std::size_t kHardwareIdPatternCount = 8;
extern const std::array<const wchar_t*, kHardwareIdPatternCount> HardwareIdPatterns;

// Substring test ignoring ASCII letter case; both texts are ASCII-only where
// it matters (hardware IDs, INF names).
bool ContainsIgnoringCase(const wchar_t* text, const wchar_t* pattern);

// A device belongs to the family when its first hardware ID holds one of the
// patterns. Only the first string of the list counts.
bool IsFamilyHardwareId(const wchar_t* firstHardwareId);

// A published INF whose driver-store location names our package.
bool IsOurDriverStoreLocation(const wchar_t* location);

// "<windows>\System32\PnPUtil.exe <arguments>", with the tool path quoted when
// the Windows directory holds a space or tab, so that CreateProcessW cannot
// take a shorter prefix for the program. False when it would not fit.
bool BuildPnpUtilCommandLine(const wchar_t* windowsDirectory, const wchar_t* arguments,
                             PathText& commandLine);
bool BuildInstallCommandLine(const wchar_t* windowsDirectory, PathText& commandLine);
bool BuildDeleteCommandLine(const wchar_t* windowsDirectory, std::uint32_t oemNumber,
                            PathText& commandLine);

constexpr std::uint32_t kLastOemNumber = 999;
// "<windows>\Inf\OEM<n>.inf" and "OEM<n>.inf". False when it would not fit.
bool BuildOemInfPath(const wchar_t* windowsDirectory, std::uint32_t oemNumber, PathText& path);
bool BuildOemInfName(std::uint32_t oemNumber, PathText& name);

// "<current directory>\RUXAImg.inf" by plain concatenation, so a drive root
// gives two backslashes in a row. False when it would not fit.
bool BuildPackagePath(const wchar_t* currentDirectory, PathText& path);

// Sends "[Zendrik_0]" followed by `message` to the debugger, cut short to
// 1024 characters with the terminator. The message is text, never a format:
// a percent sign in a path arrives unchanged.
constexpr std::size_t kDebugTraceChars = 1024;
void DebugTrace(IOperatingSystem& os, const wchar_t* message);

}  // namespace zendrik
