#include "installer_actions.h"

namespace zendrik {

std::uint32_t ExitCodeFor(const ActionResult& result) {
    switch (result.kind) {
        case ActionResult::Kind::Succeeded:
        case ActionResult::Kind::NothingToDo:
            return 0;
        case ActionResult::Kind::SucceededRestartNeeded:
            return kErrorSuccessRebootRequired;
        case ActionResult::Kind::Failed:
            break;
    }
    // A failure must never look like success to a deployment script.
    return result.code != 0 ? result.code : 1;
}

ActionResult InstallerActions::Install() {
    const WindowsVersion version = QueryWindowsVersion(os_);
    if (!version.succeeded) {
        return ActionResult::Failure(0);
    }
    switch (SelectVersionPath(version)) {
        case VersionPath::Win7:
            return Install_Win7();
        case VersionPath::Win10:
            return Install_Win10();
        case VersionPath::None:
            break;
    }
    return ActionResult::Nothing();
}

ActionResult InstallerActions::Install_Win7() {
    Trace(L"CZendrikApp::Install_Win7()");
    PathText windowsDirectory;
    const ActionResult read = ReadWindowsDirectory(windowsDirectory);
    if (!read.ok()) {
        return read;
    }
    PathText commandLine;
    if (!BuildInstallCommandLine(windowsDirectory.c_str(), commandLine)) {
        return ActionResult::Failure(kErrorFilenameExcedRange);
    }
    return RunPnpUtil(commandLine);
}

ActionResult InstallerActions::Install_Win10() {
    return CallNewdev(L"CZendrikApp::Install_Win10()", "DiInstallDriverW");
}

ActionResult InstallerActions::UnInstall() {
    const WindowsVersion version = QueryWindowsVersion(os_);
    if (!version.succeeded) {
        return ActionResult::Failure(0);
    }
    switch (SelectVersionPath(version)) {
        case VersionPath::Win7:
            return UnInstall_Win7();
        case VersionPath::Win10:
            return UnInstall_Win10();
        case VersionPath::None:
            break;
    }
    return ActionResult::Nothing();
}

ActionResult InstallerActions::UnInstall_Win10() {
    return CallNewdev(L"CZendrikApp::UnInstall()", "DiUninstallDriverW");
}

// Device removal, then the search for the published copy, then its deletion.
// A failure in the device removal does not stop the search.
ActionResult InstallerActions::UnInstall_Win7() {
    Trace(L"CZendrikApp::UnInstall_Win7()");
    RemoveFamilyDevices();

    PathText windowsDirectory;
    const ActionResult read = ReadWindowsDirectory(windowsDirectory);
    if (!read.ok()) {
        return read;
    }
    std::uint32_t oemNumber = 0;
    const ActionResult found = FindPublishedCopy(windowsDirectory.c_str(), oemNumber);
    if (!found.ok()) {
        return found;
    }
    PathText commandLine;
    if (!BuildDeleteCommandLine(windowsDirectory.c_str(), oemNumber, commandLine)) {
        return ActionResult::Failure(kErrorFilenameExcedRange);
    }
    DebugTrace(os_, commandLine.c_str());
    return RunPnpUtil(commandLine);
}

ActionResult InstallerActions::CallNewdev(const wchar_t* traceName, const char* entryName) {
    Trace(traceName);
    PathText currentDirectory;
    const ActionResult read = ReadCurrentDirectory(currentDirectory);
    if (!read.ok()) {
        return read;
    }
    PathText path;
    if (!BuildPackagePath(currentDirectory.c_str(), path)) {
        return ActionResult::Failure(kErrorFilenameExcedRange);
    }
    Trace(path.c_str());

    const ModuleHandle newdev = os_.LoadLibraryW(L"Newdev.dll");
    if (newdev == 0) {
        return FailureWithLastError();
    }
    const ProcAddress entry = os_.GetProcAddress(newdev, entryName);
    if (entry == 0) {
        return FailureWithLastError();
    }
    bool needReboot = false;
    if (os_.CallDriverPackageEntry(entry, path.c_str(), 0, needReboot)) {
        return ActionResult::Success(needReboot);
    }
    const std::uint32_t lastError = os_.GetLastError();
    if (const wchar_t* name = ErrorName(lastError)) {
        Trace(name);
    }
    return ActionResult::Failure(lastError);
}

// Every USB device node of the family, present or not, found by the first
// string of its hardware-ID list. Unreadable devices and failed removals are
// passed over.
void InstallerActions::RemoveFamilyDevices() {
    DeviceInfoSet devices = 0;
    if (!os_.SetupDiGetClassDevsW(L"USB", kDigcfAllClasses, devices)) {
        return;
    }
    PathText hardwareIds;
    for (std::uint32_t index = 0; os_.SetupDiEnumDeviceInfo(devices, index); ++index) {
        hardwareIds.Clear();
        if (!os_.ReadHardwareIds(devices, index, hardwareIds.data(),
                                 static_cast<std::uint32_t>(PathText::kCapacity))) {
            continue;
        }
        // A registry value need not end in a null; the text stops inside the buffer.
        hardwareIds.AdoptWritten();
        Trace(hardwareIds.c_str());
        if (IsFamilyHardwareId(hardwareIds.c_str())) {
            Trace(hardwareIds.c_str());
            os_.SetupDiRemoveDevice(devices, index);
        }
    }
    os_.SetupDiDestroyDeviceInfoList(devices);
}

// The lowest-numbered OEM<n>.inf whose driver-store location names our package.
ActionResult InstallerActions::FindPublishedCopy(const wchar_t* windowsDirectory,
                                                 std::uint32_t& oemNumber) {
    PathText candidate;
    PathText location;
    for (std::uint32_t n = 0; n <= kLastOemNumber; ++n) {
        if (!BuildOemInfPath(windowsDirectory, n, candidate)) {
            return ActionResult::Failure(kErrorFilenameExcedRange);
        }
        location.Clear();
        std::uint32_t requiredSize = 0;
        if (os_.SetupGetInfDriverStoreLocationW(candidate.c_str(), location.data(),
                                                static_cast<std::uint32_t>(PathText::kCapacity),
                                                requiredSize)) {
            location.AdoptWritten();
            if (IsOurDriverStoreLocation(location.c_str())) {
                oemNumber = n;
                return ActionResult::Success(false);
            }
        }
    }
    return ActionResult::Failure(kErrorFileNotFound);
}

// Starts PnPUtil, waits for it without a time limit and judges it by its exit
// code, read only after the wait: 0 and 3010 are success, anything else fails.
ActionResult InstallerActions::RunPnpUtil(PathText& commandLine) {
    ProcessHandles tool;
    if (!os_.CreateProcessW(commandLine.data(), kCreateNoWindow, tool)) {
        return FailureWithLastError();
    }
    ActionResult result;
    std::uint32_t exitCode = 0;
    if (os_.WaitForSingleObject(tool.process, kInfinite) != kWaitObject0) {
        result = FailureWithLastError();
    } else if (!os_.GetExitCodeProcess(tool.process, exitCode)) {
        result = FailureWithLastError();
    } else if (exitCode == 0 || exitCode == kErrorSuccessRebootRequired) {
        result = ActionResult::Success(exitCode == kErrorSuccessRebootRequired);
    } else {
        result = ActionResult::Failure(exitCode);
    }
    os_.CloseHandle(tool.process);
    os_.CloseHandle(tool.thread);
    return result;
}

// A directory that failed to read or would not fit is refused: building on an
// empty buffer would name a file or program relative to the drive root.
ActionResult InstallerActions::ReadWindowsDirectory(PathText& directory) {
    directory.Clear();
    const std::uint32_t length = os_.GetWindowsDirectoryW(
        directory.data(), static_cast<std::uint32_t>(PathText::kCapacity));
    if (length == 0) {
        return FailureWithLastError();
    }
    if (length >= PathText::kCapacity) {
        directory.Clear();
        return ActionResult::Failure(kErrorFilenameExcedRange);
    }
    directory.AdoptWritten();
    return ActionResult::Success(false);
}

ActionResult InstallerActions::ReadCurrentDirectory(PathText& directory) {
    directory.Clear();
    const std::uint32_t length = os_.GetCurrentDirectoryW(
        static_cast<std::uint32_t>(PathText::kCapacity), directory.data());
    if (length == 0) {
        return FailureWithLastError();
    }
    if (length >= PathText::kCapacity) {
        directory.Clear();
        return ActionResult::Failure(kErrorFilenameExcedRange);
    }
    directory.AdoptWritten();
    return ActionResult::Success(false);
}

ActionResult InstallerActions::FailureWithLastError() {
    return ActionResult::Failure(os_.GetLastError());
}

}  // namespace zendrik
