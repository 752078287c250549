// The Windows operations the installer uses, and nothing else.
//
// Every decision (which path, which text, which device, which result) is made
// by the portable code over this interface; an implementation only calls the
// named Windows function with the values it is given and reports what Windows
// answered, using the Windows conventions described at each operation.
// Handles, modules and entry points are opaque numbers here; 0 means none.
// Operations are named by their wide-character Windows function so that the
// Windows headers' A/W macros cannot rename them in one file and not another.
#pragma once

#include <cstdint>

namespace zendrik {

using OsHandle = std::uintptr_t;
using ModuleHandle = std::uintptr_t;
using ProcAddress = std::uintptr_t;
using DeviceInfoSet = std::uintptr_t;

// The fields of the extended version record that the installer sets or reads.
struct VersionRecord {
    std::uint32_t size = 0;   // set by the caller before the call
    std::uint32_t major = 0;  // dwMajorVersion
    std::uint32_t minor = 0;  // dwMinorVersion
};

struct ProcessHandles {
    OsHandle process = 0;
    OsHandle thread = 0;
};

class IOperatingSystem {
public:
    virtual ~IOperatingSystem() = default;

    // GetModuleHandleW: a module already loaded, never loading it.
    virtual ModuleHandle GetModuleHandleW(const wchar_t* moduleName) = 0;
    // LoadLibraryW. The module is never unloaded.
    virtual ModuleHandle LoadLibraryW(const wchar_t* fileName) = 0;
    // GetProcAddress.
    virtual ProcAddress GetProcAddress(ModuleHandle module, const char* procName) = 0;
    // Calls an RtlGetVersion entry point with the record; its status is not used.
    virtual void CallRtlGetVersion(ProcAddress rtlGetVersion, VersionRecord& record) = 0;
    // Calls a DiInstallDriverW or DiUninstallDriverW entry point (both share one
    // signature) with no parent window. `needReboot` is the BOOL the call may set.
    virtual bool CallDriverPackageEntry(ProcAddress entry, const wchar_t* infPath,
                                        std::uint32_t flags, bool& needReboot) = 0;
    virtual std::uint32_t GetLastError() = 0;

    // GetWindowsDirectoryW and GetCurrentDirectoryW, with their results: the
    // length copied (terminator excluded), the size needed (terminator
    // included) when `capacity` is too small, or 0 on failure.
    virtual std::uint32_t GetWindowsDirectoryW(wchar_t* buffer, std::uint32_t capacity) = 0;
    virtual std::uint32_t GetCurrentDirectoryW(std::uint32_t capacity, wchar_t* buffer) = 0;

    // CreateProcessW with no application name, handles not inherited, the
    // caller's environment and current directory and a zeroed STARTUPINFOW.
    // Windows may write into `commandLine`, so it must be writable.
    virtual bool CreateProcessW(wchar_t* commandLine, std::uint32_t creationFlags,
                               ProcessHandles& started) = 0;
    virtual std::uint32_t WaitForSingleObject(OsHandle handle, std::uint32_t milliseconds) = 0;
    virtual bool GetExitCodeProcess(OsHandle process, std::uint32_t& exitCode) = 0;
    virtual bool CloseHandle(OsHandle handle) = 0;

    // SetupDiGetClassDevsW with no class GUID and no parent window; false
    // where Windows answers INVALID_HANDLE_VALUE.
    virtual bool SetupDiGetClassDevsW(const wchar_t* enumerator, std::uint32_t flags,
                                     DeviceInfoSet& set) = 0;
    // SetupDiEnumDeviceInfo. The device found at `index` is the one that the
    // two operations below address by the same index.
    virtual bool SetupDiEnumDeviceInfo(DeviceInfoSet set, std::uint32_t index) = 0;
    // SetupDiGetDeviceRegistryPropertyW for SPDRP_HARDWAREID, no type or
    // required-size output. `capacity` counts wide characters; Windows is
    // handed the same room in bytes.
    virtual bool ReadHardwareIds(DeviceInfoSet set, std::uint32_t index, wchar_t* buffer,
                                 std::uint32_t capacity) = 0;
    virtual bool SetupDiRemoveDevice(DeviceInfoSet set, std::uint32_t index) = 0;
    virtual void SetupDiDestroyDeviceInfoList(DeviceInfoSet set) = 0;

    // SetupGetInfDriverStoreLocationW with no alternate platform and no locale.
    virtual bool SetupGetInfDriverStoreLocationW(const wchar_t* infPath, wchar_t* location,
                                                std::uint32_t capacity,
                                                std::uint32_t& requiredSize) = 0;

    // OutputDebugStringW.
    virtual void OutputDebugStringW(const wchar_t* text) = 0;
};

}  // namespace zendrik
