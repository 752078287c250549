#include "fake_operating_system.h"

#include <algorithm>

namespace zendrik::testing {

namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorInvalidData = 13;
constexpr std::uint32_t kErrorInsufficientBuffer = 122;
constexpr std::uint32_t kErrorModNotFound = 126;
constexpr std::uint32_t kErrorProcNotFound = 127;
constexpr std::uint32_t kStillActive = 259;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr std::uint32_t kDigcfPresent = 0x2;

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (; *text != '\0'; ++text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    }
    return wide;
}

std::wstring Hex(std::uint32_t value) {
    const wchar_t* digits = L"0123456789ABCDEF";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value % 16]);
        value /= 16;
    } while (value != 0);
    return L"0x" + text;
}

// Copies `text` and its terminator into `buffer` when it fits in `capacity`.
bool CopyOut(const std::wstring& text, wchar_t* buffer, std::uint32_t capacity) {
    if (text.size() + 1 > capacity) {
        return false;
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = L'\0';
    return true;
}

}  // namespace

std::size_t FakeOperatingSystem::RemovedDeviceCount() const {
    return static_cast<std::size_t>(
        std::count_if(devices.begin(), devices.end(), [](const FakeDevice& d) { return d.removed; }));
}

std::vector<std::wstring> FakeOperatingSystem::CallsStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> matching;
    for (const std::wstring& call : calls) {
        if (call.compare(0, prefix.size(), prefix) == 0) {
            matching.push_back(call);
        }
    }
    return matching;
}

ModuleHandle FakeOperatingSystem::GetModuleHandleW(const wchar_t* moduleName) {
    const std::wstring name = moduleName;
    calls.push_back(L"GetModuleHandleW(" + name + L")");
    if (name == L"ntdll" && hasNtdll) {
        return kNtdll;
    }
    lastError_ = kErrorModNotFound;
    return 0;
}

ModuleHandle FakeOperatingSystem::LoadLibraryW(const wchar_t* fileName) {
    const std::wstring name = fileName;
    calls.push_back(L"LoadLibraryW(" + name + L")");
    if (name == L"Newdev.dll" && newdevLoads) {
        return kNewdev;
    }
    lastError_ = kErrorModNotFound;
    return 0;
}

ProcAddress FakeOperatingSystem::GetProcAddress(ModuleHandle module, const char* procName) {
    const std::wstring name = Widen(procName);
    calls.push_back(L"GetProcAddress(" + name + L")");
    if (module == kNtdll && name == L"RtlGetVersion" && hasRtlGetVersion) {
        return kRtlGetVersion;
    }
    if (module == kNewdev && name == L"DiInstallDriverW" && diInstallDriver.exported) {
        return kDiInstallDriver;
    }
    if (module == kNewdev && name == L"DiUninstallDriverW" && diUninstallDriver.exported) {
        return kDiUninstallDriver;
    }
    lastError_ = kErrorProcNotFound;
    return 0;
}

void FakeOperatingSystem::CallRtlGetVersion(ProcAddress rtlGetVersion, VersionRecord& record) {
    calls.push_back(L"RtlGetVersion()");
    if (rtlGetVersion != kRtlGetVersion) {
        badHandleUsed = true;
        return;
    }
    versionRecordSizes.push_back(record.size);
    record.major = major;
    record.minor = minor;
}

bool FakeOperatingSystem::CallDriverPackageEntry(ProcAddress entry, const wchar_t* infPath,
                                                 std::uint32_t flags, bool& needReboot) {
    const FakeNewdevEntry* behaviour = nullptr;
    std::wstring name;
    if (entry == kDiInstallDriver) {
        behaviour = &diInstallDriver;
        name = L"DiInstallDriverW";
    } else if (entry == kDiUninstallDriver) {
        behaviour = &diUninstallDriver;
        name = L"DiUninstallDriverW";
    } else {
        badHandleUsed = true;
        return false;
    }
    calls.push_back(name + L"(" + infPath + L", " + std::to_wstring(flags) + L")");
    if (needReboot) {
        rebootIndicationPresetFalse = false;
    }
    if (!behaviour->succeeds) {
        lastError_ = behaviour->lastError;
        return false;
    }
    needReboot = behaviour->needReboot;
    return true;
}

std::uint32_t FakeOperatingSystem::CopyDirectory(const std::wstring& directory,
                                                 std::uint32_t error, wchar_t* buffer,
                                                 std::uint32_t capacity) {
    if (error != 0) {
        lastError_ = error;
        return 0;
    }
    if (!CopyOut(directory, buffer, capacity)) {
        return static_cast<std::uint32_t>(directory.size() + 1);
    }
    return static_cast<std::uint32_t>(directory.size());
}

std::uint32_t FakeOperatingSystem::GetWindowsDirectoryW(wchar_t* buffer, std::uint32_t capacity) {
    calls.push_back(L"GetWindowsDirectoryW(" + std::to_wstring(capacity) + L")");
    return CopyDirectory(windowsDirectory, windowsDirectoryError, buffer, capacity);
}

std::uint32_t FakeOperatingSystem::GetCurrentDirectoryW(std::uint32_t capacity, wchar_t* buffer) {
    calls.push_back(L"GetCurrentDirectoryW(" + std::to_wstring(capacity) + L")");
    return CopyDirectory(currentDirectory, currentDirectoryError, buffer, capacity);
}

bool FakeOperatingSystem::CreateProcessW(wchar_t* commandLine, std::uint32_t flags,
                                         ProcessHandles& started) {
    const std::wstring text = commandLine;
    calls.push_back(L"CreateProcessW(" + text + L")");
    startedCommandLines.push_back(text);
    creationFlags.push_back(flags);
    if (!process.starts) {
        lastError_ = process.startError;
        return false;
    }
    started.process = nextHandle_++;
    started.thread = nextHandle_++;
    openHandles_[started.process] = L"process";
    openHandles_[started.thread] = L"thread";
    return true;
}

std::wstring FakeOperatingSystem::HandleName(OsHandle handle) const {
    const auto found = openHandles_.find(handle);
    return found == openHandles_.end() ? L"unknown" : found->second;
}

std::uint32_t FakeOperatingSystem::WaitForSingleObject(OsHandle handle,
                                                       std::uint32_t milliseconds) {
    calls.push_back(L"WaitForSingleObject(" + HandleName(handle) + L", " + Hex(milliseconds) +
                    L")");
    if (openHandles_.count(handle) == 0) {
        badHandleUsed = true;
        lastError_ = kErrorInvalidHandle;
        return kWaitFailed;
    }
    if (process.waitFails) {
        lastError_ = kErrorInvalidHandle;
        return kWaitFailed;
    }
    waitedProcesses_.insert(handle);
    return 0;
}

bool FakeOperatingSystem::GetExitCodeProcess(OsHandle handle, std::uint32_t& exitCode) {
    calls.push_back(L"GetExitCodeProcess(" + HandleName(handle) + L")");
    if (openHandles_.count(handle) == 0) {
        badHandleUsed = true;
        lastError_ = kErrorInvalidHandle;
        return false;
    }
    if (process.exitCodeFails) {
        lastError_ = kErrorInvalidHandle;
        return false;
    }
    // Read before the tool has ended, the code says only that it still runs.
    exitCode = waitedProcesses_.count(handle) != 0 ? process.exitCode : kStillActive;
    return true;
}

bool FakeOperatingSystem::CloseHandle(OsHandle handle) {
    calls.push_back(L"CloseHandle(" + HandleName(handle) + L")");
    if (openHandles_.erase(handle) == 0) {
        badHandleUsed = true;
        lastError_ = kErrorInvalidHandle;
        return false;
    }
    return true;
}

bool FakeOperatingSystem::SetupDiGetClassDevsW(const wchar_t* enumerator, std::uint32_t flags,
                                               DeviceInfoSet& set) {
    const std::wstring name = enumerator != nullptr ? enumerator : L"(null)";
    calls.push_back(L"SetupDiGetClassDevsW(" + name + L", " + Hex(flags) + L")");
    if (classDevsFails) {
        lastError_ = kErrorInvalidData;
        return false;
    }
    std::vector<std::size_t> members;
    if (name == L"USB") {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].present || (flags & kDigcfPresent) == 0) {
                members.push_back(i);
            }
        }
    }
    set = nextHandle_++;
    openSets_[set] = members;
    return true;
}

FakeDevice* FakeOperatingSystem::DeviceAt(DeviceInfoSet set, std::uint32_t index) {
    const auto found = openSets_.find(set);
    if (found == openSets_.end()) {
        badHandleUsed = true;
        lastError_ = kErrorInvalidHandle;
        return nullptr;
    }
    if (index >= found->second.size()) {
        lastError_ = 259;  // ERROR_NO_MORE_ITEMS
        return nullptr;
    }
    return &devices[found->second[index]];
}

bool FakeOperatingSystem::SetupDiEnumDeviceInfo(DeviceInfoSet set, std::uint32_t index) {
    calls.push_back(L"SetupDiEnumDeviceInfo(" + std::to_wstring(index) + L")");
    return DeviceAt(set, index) != nullptr;
}

bool FakeOperatingSystem::ReadHardwareIds(DeviceInfoSet set, std::uint32_t index,
                                          wchar_t* buffer, std::uint32_t capacity) {
    calls.push_back(L"ReadHardwareIds(" + std::to_wstring(index) + L")");
    hardwareIdCapacities.push_back(capacity);
    FakeDevice* device = DeviceAt(set, index);
    if (device == nullptr) {
        return false;
    }
    if (!device->readable) {
        lastError_ = kErrorInvalidData;
        return false;
    }
    std::wstring list;
    for (const std::wstring& id : device->hardwareIds) {
        list += id;
        list.push_back(L'\0');
    }
    if (device->unterminated) {
        list = device->hardwareIds.empty() ? std::wstring() : device->hardwareIds.front();
        list.resize(capacity, L'X');
        std::copy(list.begin(), list.end(), buffer);
        return true;
    }
    list.push_back(L'\0');
    if (list.size() > capacity) {
        lastError_ = kErrorInsufficientBuffer;
        return false;
    }
    std::copy(list.begin(), list.end(), buffer);
    return true;
}

bool FakeOperatingSystem::SetupDiRemoveDevice(DeviceInfoSet set, std::uint32_t index) {
    calls.push_back(L"SetupDiRemoveDevice(" + std::to_wstring(index) + L")");
    FakeDevice* device = DeviceAt(set, index);
    if (device == nullptr) {
        return false;
    }
    device->removed = true;
    return true;
}

void FakeOperatingSystem::SetupDiDestroyDeviceInfoList(DeviceInfoSet set) {
    calls.push_back(L"SetupDiDestroyDeviceInfoList()");
    if (openSets_.erase(set) == 0) {
        badHandleUsed = true;
    }
}

bool FakeOperatingSystem::SetupGetInfDriverStoreLocationW(const wchar_t* infPath,
                                                          wchar_t* location,
                                                          std::uint32_t capacity,
                                                          std::uint32_t& requiredSize) {
    const std::wstring path = infPath;
    calls.push_back(L"SetupGetInfDriverStoreLocationW(" + path + L")");
    ++driverStoreQueries;
    const std::wstring prefix = windowsDirectory + L"\\Inf\\";
    for (const auto& [number, storeLocation] : publishedInfs) {
        if (path != prefix + L"OEM" + std::to_wstring(number) + L".inf") {
            continue;
        }
        requiredSize = static_cast<std::uint32_t>(storeLocation.size() + 1);
        if (!CopyOut(storeLocation, location, capacity)) {
            lastError_ = kErrorInsufficientBuffer;
            return false;
        }
        return true;
    }
    lastError_ = kErrorFileNotFound;
    return false;
}

void FakeOperatingSystem::OutputDebugStringW(const wchar_t* text) {
    calls.push_back(L"OutputDebugStringW(" + std::wstring(text) + L")");
    traces.push_back(text);
}

}  // namespace zendrik::testing
