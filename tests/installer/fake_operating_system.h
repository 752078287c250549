// A scripted Windows for the installer's tests: it holds the machine's state
// (version, directories, device nodes, published INF files, how PnPUtil and
// Newdev.dll behave) and records every call and every debugger text in order.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "operating_system.h"

namespace zendrik::testing {

struct FakeDevice {
    std::vector<std::wstring> hardwareIds;
    bool present = true;
    bool readable = true;
    // The registry value fills the whole buffer and carries no terminator.
    bool unterminated = false;
    bool removed = false;
};

struct FakeProcess {
    bool starts = true;
    std::uint32_t startError = 2;
    std::uint32_t exitCode = 0;
    bool waitFails = false;
    bool exitCodeFails = false;
};

struct FakeNewdevEntry {
    bool exported = true;
    bool succeeds = true;
    std::uint32_t lastError = 0;
    bool needReboot = false;
};

class FakeOperatingSystem : public IOperatingSystem {
public:
    // The machine.
    bool hasNtdll = true;
    bool hasRtlGetVersion = true;
    std::uint32_t major = 10;
    std::uint32_t minor = 0;
    std::wstring windowsDirectory = L"C:\\Windows";
    std::uint32_t windowsDirectoryError = 0;  // nonzero: the read fails with it
    std::wstring currentDirectory = L"D:\\Setup";
    std::uint32_t currentDirectoryError = 0;
    FakeProcess process;
    bool newdevLoads = true;
    FakeNewdevEntry diInstallDriver;
    FakeNewdevEntry diUninstallDriver;
    bool classDevsFails = false;
    std::vector<FakeDevice> devices;
    std::map<std::uint32_t, std::wstring> publishedInfs;  // n of OEM<n>.inf -> location

    // What the installer did.
    std::vector<std::wstring> calls;
    std::vector<std::wstring> traces;
    std::vector<std::wstring> startedCommandLines;
    std::vector<std::uint32_t> creationFlags;
    std::vector<std::uint32_t> versionRecordSizes;
    std::vector<std::uint32_t> hardwareIdCapacities;
    std::size_t driverStoreQueries = 0;
    bool rebootIndicationPresetFalse = true;
    bool badHandleUsed = false;

    std::size_t OpenHandleCount() const { return openHandles_.size(); }
    std::size_t OpenDeviceSetCount() const { return openSets_.size(); }
    std::size_t RemovedDeviceCount() const;
    // Calls whose text starts with `prefix`.
    std::vector<std::wstring> CallsStartingWith(const std::wstring& prefix) const;

    ModuleHandle GetModuleHandleW(const wchar_t* moduleName) override;
    ModuleHandle LoadLibraryW(const wchar_t* fileName) override;
    ProcAddress GetProcAddress(ModuleHandle module, const char* procName) override;
    void CallRtlGetVersion(ProcAddress rtlGetVersion, VersionRecord& record) override;
    bool CallDriverPackageEntry(ProcAddress entry, const wchar_t* infPath, std::uint32_t flags,
                                bool& needReboot) override;
    std::uint32_t GetLastError() override { return lastError_; }
    std::uint32_t GetWindowsDirectoryW(wchar_t* buffer, std::uint32_t capacity) override;
    std::uint32_t GetCurrentDirectoryW(std::uint32_t capacity, wchar_t* buffer) override;
    bool CreateProcessW(wchar_t* commandLine, std::uint32_t flags,
                        ProcessHandles& started) override;
    std::uint32_t WaitForSingleObject(OsHandle handle, std::uint32_t milliseconds) override;
    bool GetExitCodeProcess(OsHandle process, std::uint32_t& exitCode) override;
    bool CloseHandle(OsHandle handle) override;
    bool SetupDiGetClassDevsW(const wchar_t* enumerator, std::uint32_t flags,
                              DeviceInfoSet& set) override;
    bool SetupDiEnumDeviceInfo(DeviceInfoSet set, std::uint32_t index) override;
    bool ReadHardwareIds(DeviceInfoSet set, std::uint32_t index, wchar_t* buffer,
                         std::uint32_t capacity) override;
    bool SetupDiRemoveDevice(DeviceInfoSet set, std::uint32_t index) override;
    void SetupDiDestroyDeviceInfoList(DeviceInfoSet set) override;
    bool SetupGetInfDriverStoreLocationW(const wchar_t* infPath, wchar_t* location,
                                         std::uint32_t capacity,
                                         std::uint32_t& requiredSize) override;
    void OutputDebugStringW(const wchar_t* text) override;

private:
    static constexpr ModuleHandle kNtdll = 0x1000;
    static constexpr ModuleHandle kNewdev = 0x2000;
    static constexpr ProcAddress kRtlGetVersion = 0x1001;
    static constexpr ProcAddress kDiInstallDriver = 0x2001;
    static constexpr ProcAddress kDiUninstallDriver = 0x2002;

    std::uint32_t CopyDirectory(const std::wstring& directory, std::uint32_t error,
                                wchar_t* buffer, std::uint32_t capacity);
    FakeDevice* DeviceAt(DeviceInfoSet set, std::uint32_t index);
    std::wstring HandleName(OsHandle handle) const;

    std::uint32_t lastError_ = 0;
    OsHandle nextHandle_ = 0x100;
    std::map<OsHandle, std::wstring> openHandles_;
    std::set<OsHandle> waitedProcesses_;
    std::map<DeviceInfoSet, std::vector<std::size_t>> openSets_;
};

}  // namespace zendrik::testing
