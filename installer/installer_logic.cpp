#include "installer_logic.h"

namespace zendrik {

namespace {

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool HasBlank(const wchar_t* text) {
    for (; *text != L'\0'; ++text) {
        if (*text == L' ' || *text == L'\t') {
            return true;
        }
    }
    return false;
}

}  // namespace

WindowsVersion QueryWindowsVersion(IOperatingSystem& os) {
    WindowsVersion version;
    const ModuleHandle ntdll = os.GetModuleHandleW(L"ntdll");
    if (ntdll == 0) {
        return version;
    }
    const ProcAddress rtlGetVersion = os.GetProcAddress(ntdll, "RtlGetVersion");
    if (rtlGetVersion == 0) {
        return version;
    }
    VersionRecord record;
    record.size = kVersionRecordSize;
    os.CallRtlGetVersion(rtlGetVersion, record);
    version.succeeded = true;
    version.major = record.major;
    version.minor = record.minor;
    return version;
}

VersionPath SelectVersionPath(const WindowsVersion& version) {
    if (!version.succeeded) {
        return VersionPath::None;
    }
    if (version.major == 6 && version.minor != 0) {
        return VersionPath::Win7;
    }
    if (version.major == 10) {
        return VersionPath::Win10;
    }
    return VersionPath::None;
}

const wchar_t* ErrorName(std::uint32_t lastError) {
    switch (lastError) {
        case kErrorFileNotFound:
            return L"ERROR_FILE_NOT_FOUND";
        case kErrorAccessDenied:
            return L"ERROR_ACCESS_DENIED";
        case kErrorInvalidFlags:
            return L"ERROR_INVALID_FLAGS";
        case kErrorInWow64:
            return L"ERROR_IN_WOW64";
        default:
            return nullptr;
    }
}

const std::array<const wchar_t*, kHardwareIdPatternCount> HardwareIdPatterns = {
    L"USB\\VID_9E4A&PID_C001", L"USB\\VID_9E4A&PID_C002", L"USB\\VID_9E4A&PID_C003",
    L"USB\\VID_9E4A&PID_C011", L"USB\\VID_9E4A&PID_C012", L"USB\\VID_9E4A&PID_C013",
    L"USB\\VID_9E4A&PID_C031", L"USB\\VID_9E4A&PID_C032",
};

bool ContainsIgnoringCase(const wchar_t* text, const wchar_t* pattern) {
    for (; *text != L'\0'; ++text) {
        std::size_t i = 0;
        while (pattern[i] != L'\0' && text[i] != L'\0' &&
               FoldAscii(text[i]) == FoldAscii(pattern[i])) {
            ++i;
        }
        if (pattern[i] == L'\0') {
            return true;
        }
    }
    return pattern[0] == L'\0';
}

bool IsFamilyHardwareId(const wchar_t* firstHardwareId) {
    for (const wchar_t* pattern : HardwareIdPatterns) {
        if (ContainsIgnoringCase(firstHardwareId, pattern)) {
            return true;
        }
    }
    return false;
}

bool IsOurDriverStoreLocation(const wchar_t* location) {
    return ContainsIgnoringCase(location, L"ruxaimg.inf");
}

bool BuildPnpUtilCommandLine(const wchar_t* windowsDirectory, const wchar_t* arguments,
                             PathText& commandLine) {
    commandLine.Clear();
    const bool quoted = HasBlank(windowsDirectory);
    const bool built = (!quoted || commandLine.Append(L"\"")) &&
                       commandLine.Append(windowsDirectory) &&
                       commandLine.Append(L"\\System32\\PnPUtil.exe") &&
                       (!quoted || commandLine.Append(L"\"")) && commandLine.Append(L" ") &&
                       commandLine.Append(arguments);
    if (!built) {
        commandLine.Clear();
    }
    return built;
}

bool BuildInstallCommandLine(const wchar_t* windowsDirectory, PathText& commandLine) {
    return BuildPnpUtilCommandLine(windowsDirectory, L"-i -a .\\RUXAImg.inf", commandLine);
}

bool BuildOemInfName(std::uint32_t oemNumber, PathText& name) {
    name.Clear();
    const bool built =
        name.Append(L"OEM") && name.AppendNumber(oemNumber) && name.Append(L".inf");
    if (!built) {
        name.Clear();
    }
    return built;
}

bool BuildDeleteCommandLine(const wchar_t* windowsDirectory, std::uint32_t oemNumber,
                            PathText& commandLine) {
    PathText arguments;
    if (!arguments.Append(L"-f -d ")) {
        return false;
    }
    PathText name;
    if (!BuildOemInfName(oemNumber, name) || !arguments.Append(name.c_str())) {
        return false;
    }
    return BuildPnpUtilCommandLine(windowsDirectory, arguments.c_str(), commandLine);
}

bool BuildOemInfPath(const wchar_t* windowsDirectory, std::uint32_t oemNumber, PathText& path) {
    path.Clear();
    const bool built = path.Append(windowsDirectory) && path.Append(L"\\Inf\\OEM") &&
                       path.AppendNumber(oemNumber) && path.Append(L".inf");
    if (!built) {
        path.Clear();
    }
    return built;
}

bool BuildPackagePath(const wchar_t* currentDirectory, PathText& path) {
    path.Clear();
    const bool built = path.Append(currentDirectory) && path.Append(L"\\RUXAImg.inf");
    if (!built) {
        path.Clear();
    }
    return built;
}

void DebugTrace(IOperatingSystem& os, const wchar_t* message) {
    FixedText<kDebugTraceChars> trace;
    trace.AppendCutShort(L"[Zendrik_0]");
    trace.AppendCutShort(message);
    os.OutputDebugStringW(trace.c_str());
}

}  // namespace zendrik
