// The main dialog's decisions; its MFC class only forwards to these.
#pragma once

#include <cstdint>

#include "installer_actions.h"

namespace zendrik {

// Command id of the About entry in the system menu.
constexpr std::uint32_t kAboutCommandId = 0x10;

// Windows uses the low four bits of a system command itself, so they are ignored.
bool IsAboutCommand(std::uint32_t command);

// The separator and the About entry are added only to an existing system menu
// and only with a non-empty entry text (`aboutText` may be null).
bool ShouldAddAboutEntry(bool hasSystemMenu, const wchar_t* aboutText);

struct IconOrigin {
    int x = 0;
    int y = 0;
};

// Where the icon of the minimised dialog is drawn: centred, rounding up, with
// division truncating toward zero (so a client one pixel narrower than the
// icon still gives 0).
IconOrigin MinimisedIconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight);

class DialogLogic {
public:
    explicit DialogLogic(InstallerActions& actions) : actions_(actions) {}

    // The outcome is not shown: the dialog stays as it was.
    void OnInstallClicked() { actions_.Install(); }
    void OnUninstallClicked() { actions_.UnInstall(); }

private:
    InstallerActions& actions_;
};

}  // namespace zendrik
