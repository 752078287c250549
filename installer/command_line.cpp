#include "command_line.h"

#include "installer_logic.h"

namespace zendrik {

namespace {

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

bool EqualsIgnoringAsciiCase(const wchar_t* left, const wchar_t* right) {
    for (; *left != L'\0' && *right != L'\0'; ++left, ++right) {
        if (FoldAscii(*left) != FoldAscii(*right)) {
            return false;
        }
    }
    return *left == *right;
}

StartupChoice ChooseStartup(int argumentCount, const wchar_t* const* arguments) {
    if (arguments == nullptr || argumentCount != 2) {
        return StartupChoice::ShowDialog;
    }
    const wchar_t* option = arguments[1];
    if (option == nullptr) {
        return StartupChoice::InvalidArgument;
    }
    if (EqualsIgnoringAsciiCase(option, L"/Install")) {
        return StartupChoice::Install;
    }
    if (EqualsIgnoringAsciiCase(option, L"/UnInstall")) {
        return StartupChoice::UnInstall;
    }
    if (EqualsIgnoringAsciiCase(option, L"/ShowUI")) {
        return StartupChoice::ShowDialog;
    }
    return StartupChoice::InvalidArgument;
}

std::optional<std::uint32_t> RunCommandLine(InstallerActions& actions, IOperatingSystem& os,
                                            int argumentCount, const wchar_t* const* arguments) {
    switch (ChooseStartup(argumentCount, arguments)) {
        case StartupChoice::Install:
            return ExitCodeFor(actions.Install());
        case StartupChoice::UnInstall:
            return ExitCodeFor(actions.UnInstall());
        case StartupChoice::InvalidArgument:
            os.OutputDebugStringW(L"Invalid Arguments");
            return kErrorInvalidParameter;
        case StartupChoice::ShowDialog:
            break;
    }
    return std::nullopt;
}

}  // namespace zendrik
