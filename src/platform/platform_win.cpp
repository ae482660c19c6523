// Windows implementation: Win32 only, so that it also builds with MinGW-w64.
#include "platform/platform.h"
#include "platform/windows_cmdline.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

namespace platform {

namespace {

std::wstring widen(const std::string &utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &out[0], n);
    return out;
}

} // namespace

bool isAdministrator()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID adminGroup = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                                  0, 0, 0, 0, 0, 0, &adminGroup))
        return false;
    BOOL member = FALSE;
    const BOOL ok = CheckTokenMembership(nullptr, adminGroup, &member);
    FreeSid(adminGroup);
    return ok && member == TRUE;
}

bool relaunchElevated(const std::vector<std::string> &arguments)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);

    std::vector<std::wstring> wide;
    wide.reserve(arguments.size());
    for (const std::string &a : arguments)
        wide.push_back(widen(a));
    const std::wstring parameters = joinWindowsArguments(wide);

    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.lpVerb = L"runas";
    info.lpFile = path;
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info) == TRUE;
}

void terminateNow(int exitCode)
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    _exit(exitCode); // not reached
}

bool copyFile(const std::string &fromUtf8, const std::string &toUtf8)
{
    return CopyFileW(widen(fromUtf8).c_str(), widen(toUtf8).c_str(), TRUE) == TRUE;
}

std::string dataRoot()
{
    return "C:/ProgramData";
}

std::string toolProgram(Tool tool)
{
    switch (tool) {
    case Tool::TaskKill: return "taskkill";
    case Tool::TaskList: return "tasklist";
    case Tool::PowerShell: return "powershell";
    case Tool::Tar: return "tar";
    }
    return std::string();
}

} // namespace platform
