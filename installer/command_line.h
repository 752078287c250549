// What the installer does at start-up, decided from the split command line.
#pragma once

#include <cstdint>
#include <optional>

#include "installer_actions.h"
#include "operating_system.h"

namespace zendrik {

enum class StartupChoice {
    ShowDialog,
    Install,
    UnInstall,
    InvalidArgument,
};

// Whole-string comparison ignoring ASCII letter case only.
bool EqualsIgnoringAsciiCase(const wchar_t* left, const wchar_t* right);

// `arguments` is the vector CommandLineToArgvW produced, the program path first;
// null (a failed split) counts as no argument. Only a vector of exactly two
// elements is examined.
StartupChoice ChooseStartup(int argumentCount, const wchar_t* const* arguments);

// Runs a silent action or traces an invalid argument, and returns the exit code
// for the process; nothing when the dialog is to be shown.
std::optional<std::uint32_t> RunCommandLine(InstallerActions& actions, IOperatingSystem& os,
                                            int argumentCount, const wchar_t* const* arguments);

}  // namespace zendrik
