// The installer's two actions and their variants per Windows version, run over
// the operating-system interface. The application object and the dialog only
// forward to these; the outcome decides the exit code of a silent action.
#pragma once

#include <cstdint>

#include "fixed_text.h"
#include "installer_logic.h"
#include "operating_system.h"

namespace zendrik {

struct ActionResult {
    enum class Kind {
        Succeeded,
        SucceededRestartNeeded,
        NothingToDo,  // no path for this Windows version
        Failed,
    };
    Kind kind = Kind::Failed;
    // For Failed: the Win32 error code or PnPUtil's exit code, 0 when unknown.
    std::uint32_t code = 0;

    // The success flag of the action: nonzero unless it failed.
    bool ok() const { return kind != Kind::Failed; }

    static ActionResult Success(bool restartNeeded) {
        return {restartNeeded ? Kind::SucceededRestartNeeded : Kind::Succeeded, 0};
    }
    static ActionResult Nothing() { return {Kind::NothingToDo, 0}; }
    static ActionResult Failure(std::uint32_t failureCode) { return {Kind::Failed, failureCode}; }
};

// 0 for success or nothing to do, 3010 when Windows asks for a restart,
// otherwise the failure code, or 1 when none is known.
std::uint32_t ExitCodeFor(const ActionResult& result);

class InstallerActions {
public:
    explicit InstallerActions(IOperatingSystem& os) : os_(os) {}

    ActionResult Install();
    ActionResult Install_Win7();
    ActionResult Install_Win10();
    ActionResult UnInstall();
    ActionResult UnInstall_Win7();

private:
    ActionResult UnInstall_Win10();
    ActionResult CallNewdev(const wchar_t* traceName, const char* entryName);
    void RemoveFamilyDevices();
    ActionResult FindPublishedCopy(const wchar_t* windowsDirectory, std::uint32_t& oemNumber);
    ActionResult RunPnpUtil(PathText& commandLine);
    ActionResult ReadWindowsDirectory(PathText& directory);
    ActionResult ReadCurrentDirectory(PathText& directory);
    ActionResult FailureWithLastError();
    void Trace(const wchar_t* text) { os_.OutputDebugStringW(text); }

    IOperatingSystem& os_;
};

}  // namespace zendrik
