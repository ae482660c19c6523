// Windows implementation: Win32 only, so that it also builds with MinGW-w64.
#include "platform/platform.h"
#include "platform/windows_cmdline.h"
#include "platform/sha256.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <restartmanager.h>
#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <io.h>
#include <random>

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

std::string narrow(const wchar_t *text, std::size_t length)
{
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
    return out;
}

void (*failureLog)(const std::string &) = writeLogLine;

// Which call failed on what, with Windows' own error, for the log; false, and
// the error left for the caller.
bool failed(const char *call, const std::wstring &path)
{
    const DWORD error = GetLastError();
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::string why = length ? narrow(text, length) : std::string();
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' '))
        why.pop_back();
    LocalFree(text);
    failureLog("Windows " + std::string(call) + " \"" + narrow(path.data(), path.size()) + "\": 错误 " + std::to_string(error)
               + (why.empty() ? std::string() : " " + why));
    SetLastError(error);
    return false;
}

// A module's path (this program's by default), however long: a path cut at
// MAX_PATH names another file.
std::wstring ownProgram(HMODULE module = nullptr)
{
    for (DWORD size = MAX_PATH; size <= 32768 * 2; size *= 2) {
        std::wstring path(size, L'\0');
        const DWORD n = GetModuleFileNameW(module, &path[0], size);
        if (n == 0)
            return std::wstring();
        if (n < size) {
            path.resize(n);
            return path;
        }
    }
    return std::wstring();
}

} // namespace

void restrictLibrarySearch()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void useOwnFileModes()
{
}

void setFailureLog(void (*log)(const std::string &utf8))
{
    failureLog = log ? log : writeLogLine;
}

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
    const std::wstring path = ownProgram();

    std::vector<std::wstring> wide;
    wide.reserve(arguments.size());
    for (const std::string &a : arguments)
        wide.push_back(widen(a));
    const std::wstring parameters = joinWindowsArguments(wide);

    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.lpVerb = L"runas";
    info.lpFile = path.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info) == TRUE;
}

void terminateNow(int exitCode)
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
    _exit(exitCode); // not reached
}

namespace {

bool copyFile(const std::string &fromUtf8, const std::string &toUtf8,
              const std::function<void(const char *, std::size_t)> &onData)
{
    HANDLE in = CreateFileW(widen(fromUtf8).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return failed("CreateFileW", widen(fromUtf8));
    const std::wstring target = widen(toUtf8);
    HANDLE out = CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = out != INVALID_HANDLE_VALUE || failed("CreateFileW", target);
    std::vector<char> buffer(1 << 16);
    for (DWORD got = 1; ok && got > 0;) {
        DWORD put = 0;
        ok = (ReadFile(in, buffer.data(), DWORD(buffer.size()), &got, nullptr) || failed("ReadFile", widen(fromUtf8)))
             && (got == 0 || (WriteFile(out, buffer.data(), got, &put, nullptr) && put == got) || failed("WriteFile", target));
        if (ok && got > 0)
            onData(buffer.data(), got);
    }
    if (out != INVALID_HANDLE_VALUE) {
        CloseHandle(out);
        if (!ok)
            DeleteFileW(target.c_str());
    }
    CloseHandle(in);
    return ok;
}

} // namespace

std::string fileStamp(const std::string &pathUtf8)
{
    HANDLE h = CreateFileW(widen(pathUtf8).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    FILE_BASIC_INFO basic;
    const bool ok = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info)
                    && GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof(basic))
                    && !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!ok)
        return std::string();
    const auto n = [](unsigned long long v) { return std::to_string(v) + ':'; };
    return n(info.dwVolumeSerialNumber) + n((ULONGLONG(info.nFileIndexHigh) << 32) | info.nFileIndexLow)
           + n((ULONGLONG(info.nFileSizeHigh) << 32) | info.nFileSizeLow) + n(ULONGLONG(basic.LastWriteTime.QuadPart))
           + std::to_string(basic.ChangeTime.QuadPart);
}

// Each copy hashed as it passes, on the copying thread.
struct HashedCopier::State
{
    std::map<std::string, Hashed> done;
};

HashedCopier::HashedCopier()
    : state(new State)
{
}

HashedCopier::~HashedCopier() = default;

bool HashedCopier::copy(const std::string &fromUtf8, const std::string &toUtf8, const std::string &key)
{
    Sha256 hash;
    long long size = 0;
    if (!copyFile(fromUtf8, toUtf8, [&hash, &size](const char *data, std::size_t length) {
            hash.add(data, length);
            size += static_cast<long long>(length);
        }))
        return false;
    Hashed hashed{size, hash.hex(), fileStamp(toUtf8)};
    if (!hashed.sha256.empty())
        state->done[key] = std::move(hashed);
    return true;
}

std::map<std::string, HashedCopier::Hashed> HashedCopier::finish()
{
    return state->done;
}

bool flushDirectory(const std::string &pathUtf8)
{
    // NTFS journals its directories; a flush of the handle writes them through.
    HANDLE h = CreateFileW(widen(pathUtf8).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return failed("CreateFileW", widen(pathUtf8));
    const bool ok = FlushFileBuffers(h) || failed("FlushFileBuffers", widen(pathUtf8));
    CloseHandle(h);
    return ok;
}

OpenedDirectories::OpenedDirectories() = default;
OpenedDirectories::~OpenedDirectories() = default;

bool FlushPlan::flush()
{
    // Each file's data, then the directories; one that went is its parent's change.
    const auto flushed = [](const std::wstring &path, DWORD flags) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND || failed("CreateFileW", path);
        const bool ok = FlushFileBuffers(h) || failed("FlushFileBuffers", path);
        CloseHandle(h);
        return ok;
    };
    bool ok = true;
    for (const std::string &file : files)
        ok = flushed(widen(file), 0) && ok;
    for (const std::string &dir : dirs)
        ok = flushed(widen(dir), FILE_FLAG_BACKUP_SEMANTICS) && ok;
    files.clear();
    dirs.clear();
    return ok;
}

std::string randomSuffix(int length)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random; // rand_s: the system's generator
    std::string out;
    for (int i = 0; i < length; ++i)
        out += letters[random() % 36];
    return out;
}

namespace {

long long allocatedBelow(const std::wstring &dir, const std::wstring &skipPrefix, long long cluster)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    long long total = 0;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || (!skipPrefix.empty() && name.compare(0, skipPrefix.size(), skipPrefix) == 0))
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue; // links and junctions are not followed
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            total += allocatedBelow(dir + L"\\" + name, std::wstring(), cluster);
        } else {
            const long long size = (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            total += (size + cluster - 1) / cluster * cluster;
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return total;
}

} // namespace

long long allocatedBytes(const std::string &dirUtf8, const std::string &skipPrefix)
{
    std::wstring dir = widen(dirUtf8);
    for (wchar_t &c : dir)
        if (c == L'/')
            c = L'\\';
    if (GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES)
        return -1;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    long long cluster = 4096;
    const std::wstring volume = dir.size() >= 3 && dir[1] == L':' ? dir.substr(0, 3) : std::wstring();
    if (GetDiskFreeSpaceW(volume.empty() ? nullptr : volume.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                          &clusters))
        cluster = static_cast<long long>(sectorsPerCluster) * bytesPerSector;
    return allocatedBelow(dir, widen(skipPrefix), cluster > 0 ? cluster : 4096);
}

// Protected DACL: full access for Administrators and SYSTEM, inherited below, nobody else.
extern const wchar_t kPrivateDirectorySecurity[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

bool createPrivateDirectory(const std::string &pathUtf8)
{
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kPrivateDirectorySecurity, SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
    // Something at the name is the caller's to judge (a clash, or its own).
    const bool ok = CreateDirectoryW(widen(pathUtf8).c_str(), &sa)
                    || (GetLastError() != ERROR_ALREADY_EXISTS && failed("CreateDirectoryW", widen(pathUtf8)));
    LocalFree(sd);
    return ok;
}

namespace {

std::wstring backslashed(const std::string &utf8)
{
    std::wstring path = widen(utf8);
    for (wchar_t &c : path)
        if (c == L'/')
            c = L'\\';
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

std::vector<BYTE> tokenUser(HANDLE process)
{
    HANDLE token = nullptr;
    std::vector<BYTE> user;
    if (!process || !OpenProcessToken(process, TOKEN_QUERY, &token))
        return user;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> info(size ? size : 1);
    if (size && GetTokenInformation(token, TokenUser, info.data(), size, &size)) {
        PSID sid = reinterpret_cast<TOKEN_USER *>(info.data())->User.Sid;
        user.assign(static_cast<BYTE *>(sid), static_cast<BYTE *>(sid) + GetLengthSid(sid));
    }
    CloseHandle(token);
    return user;
}

// The user an owner policy stands for: this process's, or the desktop shell's.
std::vector<BYTE> ownerSid(Owner owner)
{
    if (owner == Owner::Requester) {
        DWORD shellPid = 0;
        HWND shell = GetShellWindow();
        if (shell && GetWindowThreadProcessId(shell, &shellPid) && shellPid) {
            HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellPid);
            std::vector<BYTE> user = tokenUser(process);
            if (process)
                CloseHandle(process);
            if (!user.empty())
                return user;
        }
    }
    return tokenUser(GetCurrentProcess());
}

bool ownedBy(HANDLE h, const std::vector<BYTE> &user, bool administrators)
{
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    const bool ok = sid && ((!user.empty() && EqualSid(sid, const_cast<BYTE *>(user.data())))
                            || (administrators && (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)
                                                   || IsWellKnownSid(sid, WinLocalSystemSid))));
    LocalFree(sd);
    return ok;
}

// Opened as itself (a link or junction is not followed), and held without
// sharing deletion: nobody can rename or replace it while it is open. With
// DELETE only for what is to be deleted: Windows refuses that access to a
// directory that another handle holds without sharing deletion, and every
// process's working directory is such a handle (the updater's own is the
// installation when it is installed there).
HANDLE openEntry(const std::wstring &path, bool forDeletion = true)
{
    const HANDLE h = CreateFileW(path.c_str(), (forDeletion ? DELETE : 0) | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
        failed("CreateFileW", path);
    return h;
}

bool deleteHeld(HANDLE h, const std::wstring &path)
{
    FILE_DISPOSITION_INFO remove{TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &remove, sizeof(remove))
           || failed("SetFileInformationByHandle(FileDispositionInfo)", path);
}

bool removeHeld(const std::wstring &path, HANDLE h, const std::vector<BYTE> &user, bool administrators)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return failed("GetFileInformationByHandle", path);
    if (!ownedBy(h, user, administrators)) {
        failureLog("Windows: not removed, owned by someone else: " + narrow(path.data(), path.size()));
        return false;
    }
    bool all = true;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        // Listed through the handle held: a search by path would have to share
        // the deletion this handle denies everyone else.
        std::vector<BYTE> buffer(64 * 1024);
        for (bool first = true;; first = false) {
            if (!GetFileInformationByHandleEx(h, first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                                              buffer.data(), static_cast<DWORD>(buffer.size()))) {
                all = all && (GetLastError() == ERROR_NO_MORE_FILES || failed("GetFileInformationByHandleEx", path));
                break;
            }
            for (std::size_t at = 0;;) {
                const auto *entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(buffer.data() + at);
                const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
                if (name != L"." && name != L"..") {
                    const std::wstring child = path + L"\\" + name;
                    HANDLE c = openEntry(child);
                    all = c != INVALID_HANDLE_VALUE && removeHeld(child, c, user, administrators) && all;
                    if (c != INVALID_HANDLE_VALUE)
                        CloseHandle(c);
                }
                if (!entry->NextEntryOffset)
                    break;
                at += entry->NextEntryOffset;
            }
        }
    }
    return deleteHeld(h, path) && all;
}

} // namespace

bool removeTree(const std::string &pathUtf8, Owner owner)
{
    const std::wstring path = backslashed(pathUtf8);
    HANDLE h = openEntry(path);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    const bool removed = removeHeld(path, h, ownerSid(owner), owner == Owner::Elevated);
    CloseHandle(h);
    return removed;
}

namespace {

// Wine has no access lists of its own: it makes one from the Unix mode, the
// owner's bits granted to the token user, who has no unelevated twin there.
// Under Wine that entry stands for the Unix owner; Everyone still counts.
bool underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Who may own what the elevated updater trusts: Administrators, SYSTEM or
// TrustedInstaller. Not this user's own account, which the same user's
// unelevated processes also carry; under Wine that account is the Unix owner.
bool trustedOwner(HANDLE h)
{
    static const std::vector<BYTE> installer = [] {
        PSID sid = nullptr;
        std::vector<BYTE> bytes;
        if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", &sid)) {
            bytes.assign(static_cast<BYTE *>(sid), static_cast<BYTE *>(sid) + GetLengthSid(sid));
            LocalFree(sid);
        }
        return bytes;
    }();
    return ownedBy(h, underWine() ? tokenUser(GetCurrentProcess()) : std::vector<BYTE>(), true)
           || (!installer.empty() && ownedBy(h, installer, false));
}

// Whether the access list grants any of mask to anyone but administrators,
// SYSTEM, services and the creator of an entry. On Windows this user's own
// entry counts: the unelevated user holds the same account.
bool othersGranted(PACL dacl, DWORD mask)
{
    if (!dacl)
        return true; // no list: everyone may do everything
    const std::vector<BYTE> self = underWine() ? tokenUser(GetCurrentProcess()) : std::vector<BYTE>();
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&ace)) || (ace->Header.AceFlags & INHERIT_ONLY_ACE))
            continue;
        const BYTE type = ace->Header.AceType;
        if (type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_ACE_TYPE
            || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)
            continue; // a denial can only take away
        // Conditional, object and unknown kinds are not judged by whom they
        // name: granting the access at all counts as granting it to others.
        if (type != ACCESS_ALLOWED_ACE_TYPE) {
            if (ace->Mask & mask)
                return true;
            continue;
        }
        PSID sid = &ace->SidStart;
        const SID_IDENTIFIER_AUTHORITY *authority = GetSidIdentifierAuthority(sid);
        const bool service = authority->Value[5] == 5 && *GetSidSubAuthorityCount(sid) >= 1 && *GetSidSubAuthority(sid, 0) == 80;
        const bool wineOwner = !self.empty() && EqualSid(sid, const_cast<BYTE *>(self.data()));
        if (!IsWellKnownSid(sid, WinBuiltinAdministratorsSid) && !IsWellKnownSid(sid, WinLocalSystemSid)
            && !IsWellKnownSid(sid, WinCreatorOwnerSid) && !service && !wineOwner && (ace->Mask & mask))
            return true;
    }
    return false;
}

const DWORD kMayDeleteOthers = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL | GENERIC_WRITE;

} // namespace

std::string unsafePathTo(const std::string &pathUtf8)
{
    // Junctions and links on the way; who may rename a folder is its own
    // and its parent's access list, judged where the updater keeps data.
    const std::wstring path = backslashed(pathUtf8);
    if (path.size() < 3 || path[1] != L':' || path[2] != L'\\')
        return "not an absolute path";
    for (std::size_t at = 3; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != L'\\')
            continue;
        const std::wstring prefix = path.substr(0, at);
        HANDLE h = openEntry(prefix, false);
        BY_HANDLE_FILE_INFORMATION info;
        const bool read = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (!read)
            return "cannot be read: " + narrow(prefix.data(), prefix.size());
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return "a link on its way: " + narrow(prefix.data(), prefix.size());
    }
    return std::string();
}

std::string unsafeDataRoot()
{
    if (dataRoot().empty())
        return "the known folder cannot be read";
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const std::wstring root = backslashed(dataRoot());
    HANDLE h = openEntry(root, false);
    BY_HANDLE_FILE_INFORMATION info;
    std::string why;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(h, &info))
        why = "cannot be read";
    else if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        why = "not a plain directory";
    else if (!trustedOwner(h))
        why = "owned by another user";
    else if (GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        why = "its access list cannot be read";
    else if (!(why = unsafePathTo(dataRoot())).empty()) {
    } else if (othersGranted(dacl, kMayDeleteOthers))
        why = "others may delete or rename entries in it";
    if (sd)
        LocalFree(sd);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return why;
}

std::string untrustedEntry(const std::string &pathUtf8)
{
    // Looked at, not changed: no more access than reading who may write.
    HANDLE h = CreateFileW(backslashed(pathUtf8).c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "cannot be read";
    BY_HANDLE_FILE_INFORMATION info;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::string why;
    if (!GetFileInformationByHandle(h, &info))
        why = "cannot be read";
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        why = "a link";
    else if (!trustedOwner(h))
        why = "owned by another user";
    else if (GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd) != ERROR_SUCCESS)
        why = "its access list cannot be read";
    else if (othersGranted(dacl, kMayDeleteOthers | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES))
        why = "writable by others";
    if (sd)
        LocalFree(sd);
    CloseHandle(h);
    return why;
}

namespace {

// Holds every directory from root down to rel's parent open without sharing
// deletion, none of them a junction or link, so that none can be swapped
// while the caller works on the path it returns; empty on failure.
std::wstring heldPathBelow(const std::string &root, const std::string &rel, bool make, std::vector<HANDLE> *held)
{
    std::wstring path = backslashed(root);
    std::size_t at = 0;
    for (;;) {
        HANDLE h = openEntry(path, false);
        BY_HANDLE_FILE_INFORMATION info;
        if (h == INVALID_HANDLE_VALUE)
            return std::wstring();
        held->push_back(h);
        if (!GetFileInformationByHandle(h, &info)) {
            failed("GetFileInformationByHandle", path);
            return std::wstring();
        }
        if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            failureLog("Windows: not a plain directory on the way: " + narrow(path.data(), path.size()));
            return std::wstring();
        }
        const std::size_t slash = rel.find('/', at);
        const std::string part = rel.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part.empty() || part == "." || part == ".." || part.find_first_of("\\:") != std::string::npos)
            return std::wstring();
        path += L"\\" + widen(part);
        if (slash == std::string::npos)
            return path;
        if (make && !CreateDirectoryW(path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            failed("CreateDirectoryW", path);
        at = slash + 1;
    }
}

void release(std::vector<HANDLE> &held)
{
    for (HANDLE h : held)
        CloseHandle(h);
    held.clear();
}

} // namespace

bool allowRequester(const std::string &pathUtf8, bool directory)
{
    if (directory)
        return true; // passing through needs no grant on Windows
    std::vector<BYTE> user = ownerSid(Owner::Requester);
    const std::wstring path = widen(pathUtf8);
    PACL dacl = nullptr, merged = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (user.empty()
        || GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd)
               != ERROR_SUCCESS)
        return false;
    EXPLICIT_ACCESSW access{};
    access.grfAccessPermissions = GENERIC_READ;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(user.data());
    DWORD error = SetEntriesInAclW(1, &access, dacl, &merged);
    if (error == ERROR_SUCCESS)
        error = SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                      nullptr, merged, nullptr);
    const bool granted = error == ERROR_SUCCESS || (SetLastError(error), failed("SetNamedSecurityInfoW", path));
    LocalFree(merged);
    LocalFree(sd);
    return granted;
}

bool copyFileBelow(const std::string &fromRootUtf8, const std::string &toRootUtf8, const std::string &relUtf8,
                   Existing existing)
{
    if (existing == Existing::Replace)
        removeFileBelow(toRootUtf8, relUtf8); // a new file in its place: nothing of the old one's stays
    std::vector<HANDLE> held;
    const std::wstring from = heldPathBelow(fromRootUtf8, relUtf8, false, &held);
    const std::wstring to = from.empty() ? from : heldPathBelow(toRootUtf8, relUtf8, true, &held);
    // Held as itself, sharing all but deletion: the copy reads this very file.
    HANDLE source = from.empty() || to.empty()
                        ? INVALID_HANDLE_VALUE
                        : CreateFileW(from.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (source == INVALID_HANDLE_VALUE && !from.empty() && !to.empty())
        failed("CreateFileW", from);
    bool ok = source != INVALID_HANDLE_VALUE && GetFileInformationByHandle(source, &info)
              && !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
    ok = ok && (CopyFileW(from.c_str(), to.c_str(), TRUE) || failed("CopyFileW", to));
    if (source != INVALID_HANDLE_VALUE)
        CloseHandle(source);
    release(held);
    return ok;
}

bool removeFileBelow(const std::string &rootUtf8, const std::string &relUtf8)
{
    std::vector<HANDLE> held;
    const std::wstring path = heldPathBelow(rootUtf8, relUtf8, false, &held);
    HANDLE h = path.empty() ? INVALID_HANDLE_VALUE : openEntry(path);
    BY_HANDLE_FILE_INFORMATION info;
    const bool ok = h != INVALID_HANDLE_VALUE && (GetFileInformationByHandle(h, &info) || failed("GetFileInformationByHandle", path))
                    && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && deleteHeld(h, path);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    release(held);
    return ok;
}

bool isLink(const std::string &pathUtf8)
{
    const DWORD attributes = GetFileAttributesW(widen(pathUtf8).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

LockResult takeSingleInstanceLock()
{
    static HANDLE held = nullptr;
    if (held)
        return LockResult::Taken;
    // A file held open without sharing, in a directory only administrators
    // can change: released by Windows when the holder ends, however it ends.
    // Checked once made, and held from then on so that it cannot be renamed:
    // ordinary users may make folders in the data root, this name too,
    // between the move below and the creation.
    const std::wstring dir = backslashed(dataRoot() + "/FarwenUpdater");
    static HANDLE folder = INVALID_HANDLE_VALUE;
    for (int round = 0; round < 3 && folder == INVALID_HANDLE_VALUE; ++round) {
        createPrivateDirectory(dataRoot() + "/FarwenUpdater");
        HANDLE existing = openEntry(dir, false);
        BY_HANDLE_FILE_INFORMATION info;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR sd = nullptr;
        const bool ours = existing != INVALID_HANDLE_VALUE && GetFileInformationByHandle(existing, &info)
                          && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                          && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && trustedOwner(existing)
                          && GetSecurityInfo(existing, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                             nullptr, &sd) == ERROR_SUCCESS
                          && !othersGranted(dacl, kMayDeleteOthers | FILE_WRITE_DATA | FILE_APPEND_DATA);
        if (sd)
            LocalFree(sd);
        if (ours) {
            folder = existing;
            break;
        }
        if (existing != INVALID_HANDLE_VALUE)
            CloseHandle(existing);
        // Someone else's: moved aside under a name nobody can have planted
        // ahead (no replacing flag), never used or followed.
        bool moved = false;
        for (int i = 0; i < 8 && !moved; ++i)
            moved = MoveFileExW(dir.c_str(), (dir + L".planted-" + widen(randomSuffix())).c_str(), 0) == TRUE;
        if (!moved && GetLastError() != ERROR_FILE_NOT_FOUND) {
            failed("MoveFileExW", dir);
            break;
        }
    }
    if (folder == INVALID_HANDLE_VALUE)
        return LockResult::Failed;
    HANDLE file = CreateFileW((dir + L"\\updater.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_SHARING_VIOLATION)
            return LockResult::HeldByAnother;
        failed("CreateFileW", dir + L"\\updater.lock");
        return LockResult::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        || info.nNumberOfLinks != 1) {
        CloseHandle(file);
        return LockResult::Failed;
    }
    held = file;
    return LockResult::Taken;
}

bool startAsUser(const std::string &programUtf8, const std::vector<std::string> &arguments,
                 const std::string &workDirUtf8)
{
    // The desktop shell runs as the logged-on user at medium integrity: start
    // the program with a copy of its token.
    HWND shell = GetShellWindow();
    DWORD shellPid = 0;
    if (!shell || !GetWindowThreadProcessId(shell, &shellPid) || !shellPid)
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, shellPid);
    if (!process)
        return false;
    HANDLE shellToken = nullptr, token = nullptr;
    const BOOL opened = OpenProcessToken(process, TOKEN_DUPLICATE, &shellToken);
    CloseHandle(process);
    if (!opened)
        return false;
    const BOOL duplicated = DuplicateTokenEx(shellToken,
                                             TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_ADJUST_DEFAULT
                                                 | TOKEN_ADJUST_SESSIONID,
                                             nullptr, SecurityImpersonation, TokenPrimary, &token);
    CloseHandle(shellToken);
    if (!duplicated)
        return false;
    std::vector<std::wstring> wide{widen(programUtf8)};
    for (const std::string &a : arguments)
        wide.push_back(widen(a));
    std::wstring commandLine = joinWindowsArguments(wide);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    const std::wstring workDir = widen(workDirUtf8);
    const BOOL started = CreateProcessWithTokenW(token, 0, nullptr, &commandLine[0], 0, nullptr,
                                                 workDir.empty() ? nullptr : workDir.c_str(), &si, &pi);
    CloseHandle(token);
    if (!started)
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

void dieWithParent(long long)
{
}

int terminationRequests()
{
    return -1; // the end of the session reaches the window as a Qt session request
}

void clearTerminationRequests()
{
}

void bindToUpdater(long long childPid)
{
    // One job for the updater's life; its last handle closes when the updater
    // ends, however it ends, and the job kills what is still in it.
    static HANDLE job = [] {
        HANDLE j = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (j)
            SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        return j;
    }();
    HANDLE child = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(childPid));
    if (job && child)
        AssignProcessToJobObject(job, child);
    if (child)
        CloseHandle(child);
}

std::string HeldFile::open(const std::string &pathUtf8)
{
    close();
    // Not shared for writing or deletion: nobody renames, replaces or changes
    // it while held, and the removal is of this handle's file.
    const std::wstring path = backslashed(pathUtf8);
    HANDLE h = INVALID_HANDLE_VALUE;
    for (const DWORD access : {DWORD(GENERIC_READ | DELETE), DWORD(GENERIC_READ)}) {
        h = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
            break;
    }
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        failed("CreateFileW", path);
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? "missing" : "cannot be opened";
    }
    handle = reinterpret_cast<intptr_t>(h);
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info)
        || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return "not a plain file";
    name = pathUtf8;
    return std::string();
}

long long HeldFile::read(char *data, std::size_t size)
{
    DWORD n = 0;
    if (handle < 0)
        return -1;
    if (!ReadFile(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), data, DWORD(size > (1u << 30) ? (1u << 30) : size), &n,
                  nullptr))
        return failed("ReadFile", widen(name)), -1;
    return n;
}

bool HeldFile::readAll(std::string *out, std::size_t limit)
{
    out->clear();
    char buffer[64 * 1024];
    long long n;
    while ((n = read(buffer, sizeof(buffer))) > 0) {
        if (out->size() + std::size_t(n) > limit)
            return false;
        out->append(buffer, std::size_t(n));
    }
    return n == 0;
}

namespace {
std::string identityOf(HANDLE h)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return std::string();
    return std::to_string(info.dwVolumeSerialNumber) + ":"
           + std::to_string((static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}
} // namespace

std::string HeldFile::identity() const
{
    return handle >= 0 ? identityOf(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle))) : std::string();
}

bool isLoadedImage(const std::string &pathUtf8)
{
    // What the process has loaded is known once it runs the update: read once.
    static const std::set<std::string> loaded = [] {
        std::set<std::string> ids;
        std::vector<HMODULE> modules(64);
        DWORD needed = 0;
        while (K32EnumProcessModules(GetCurrentProcess(), modules.data(), DWORD(modules.size() * sizeof(HMODULE)), &needed)
               && needed > modules.size() * sizeof(HMODULE))
            modules.resize(needed / sizeof(HMODULE));
        modules.resize(std::min<std::size_t>(modules.size(), needed / sizeof(HMODULE)));
        modules.push_back(nullptr); // the program, should the list fail
        for (HMODULE module : modules) {
            const std::wstring path = ownProgram(module);
            ids.insert(path.empty() ? std::string() : fileIdentity(narrow(path.data(), path.size())));
        }
        ids.erase(std::string());
        return ids;
    }();
    const std::string id = fileIdentity(pathUtf8);
    return !id.empty() && loaded.count(id) > 0;
}

std::string fileIdentity(const std::string &pathUtf8)
{
    HANDLE h = CreateFileW(backslashed(pathUtf8).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    const std::string id = identityOf(h);
    CloseHandle(h);
    return id;
}

bool HeldFile::remove()
{
    return handle >= 0 && deleteHeld(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), widen(name));
}

void HeldFile::close()
{
    if (handle >= 0)
        CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)));
    handle = -1;
}

bool FileReplacement::begin(const std::string &targetUtf8, bool)
{
    discard();
    target = targetUtf8;
    temp = pendingPath(targetUtf8);
    const std::wstring wide = widen(temp);
    // A leftover of a killed run goes; a link is removed, never written through.
    DeleteFileW(wide.c_str());
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        failed("CreateFileW", wide);
        temp.clear();
        return false;
    }
    handle = static_cast<long long>(reinterpret_cast<intptr_t>(h));
    return true;
}

bool FileReplacement::write(const char *data, std::size_t size)
{
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    while (handle >= 0 && size > 0) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0)
            return failed("WriteFile", widen(temp));
        data += written;
        size -= written;
    }
    return handle >= 0;
}

namespace {

// The processes the Restart Manager names as holding the file, for the log;
// where it gives no answer (Wine's is a stub), that is said instead.
std::string holdersOf(const std::wstring &path)
{
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    DWORD r = RmStartSession(&session, 0, key);
    if (r != ERROR_SUCCESS)
        return "the Restart Manager gave no answer (error " + std::to_string(r) + ")";
    LPCWSTR files[] = {path.c_str()};
    std::vector<RM_PROCESS_INFO> info(8);
    UINT needed = 0, count = 0;
    DWORD reasons = 0;
    r = RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr);
    for (int round = 0; r == ERROR_SUCCESS || (r == ERROR_MORE_DATA && round < 3); ++round) {
        count = UINT(info.size());
        r = RmGetList(session, &needed, &count, info.data(), &reasons);
        if (r != ERROR_MORE_DATA)
            break;
        info.resize(needed + 8);
    }
    RmEndSession(session);
    if (r != ERROR_SUCCESS)
        return "the Restart Manager gave no answer (error " + std::to_string(r) + ")";
    if (count == 0)
        return "the Restart Manager names no process";
    std::string names;
    for (UINT i = 0; i < count && i < info.size(); ++i)
        names += (i ? ", " : "") + narrow(info[i].strAppName, wcsnlen(info[i].strAppName, CCH_RM_MAX_APP_NAME)) + " (pid "
                 + std::to_string(info[i].Process.dwProcessId) + ")";
    return "held by " + names;
}

// A scanner, the indexer or a backup agent opens new and changed files for a
// moment: a replacement refused for sharing is tried again for about 3 s
// (kReplaceRetriesMs in all) before the unpack fails, and the log names who held it.
const int kReplaceRetriesMs[] = {50, 100, 200, 300, 450, 600, 700, 750};

bool heldByAnother(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

} // namespace

bool FileReplacement::adopt(const std::string &, const std::string &, bool)
{
    return false;
}

bool FileReplacement::writeFrom(const std::string &sourceUtf8)
{
    const std::wstring wide = widen(sourceUtf8);
    HANDLE in = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return failed("CreateFileW", wide);
    BY_HANDLE_FILE_INFORMATION info;
    bool ok = GetFileInformationByHandle(in, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    std::vector<char> buffer(1 << 20);
    for (DWORD n = 0; ok && (ok = ReadFile(in, buffer.data(), DWORD(buffer.size()), &n, nullptr)) && n > 0;)
        ok = write(buffer.data(), n);
    CloseHandle(in);
    return ok;
}

bool FileReplacement::commit()
{
    if (handle < 0)
        return false;
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
    handle = -1;
    CloseHandle(h);
    const std::wstring from = widen(temp), to = widen(target);
    // A running image cannot be written over, but it can be renamed: aside
    // beside it, and the new file takes its place.
    const std::wstring aside = isLoadedImage(target) ? to + L".old-" + widen(randomSuffix(8)) : std::wstring();
    if (!aside.empty() && (aside.size() != to.size() + 13 || !MoveFileExW(to.c_str(), aside.c_str(), MOVEFILE_WRITE_THROUGH))) {
        failed("MoveFileExW", aside);
        DeleteFileW(from.c_str());
        temp.clear();
        return false;
    }
    bool moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    for (std::size_t i = 0; !moved && i < sizeof(kReplaceRetriesMs) / sizeof(kReplaceRetriesMs[0]); ++i) {
        if (!heldByAnother(GetLastError()))
            break;
        if (i == 0)
            failureLog("Windows: in use, tried again for 3 s: " + narrow(to.data(), to.size()) + ": " + holdersOf(to));
        Sleep(DWORD(kReplaceRetriesMs[i]));
        moved = MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    // Still in use: that fails the unpack, and the log says who held it then.
    if (!moved) {
        const DWORD error = GetLastError();
        failed("MoveFileExW", to);
        if (heldByAnother(error))
            failureLog("Windows: still in use: " + narrow(to.data(), to.size()) + ": " + holdersOf(to));
        if (!aside.empty())
            MoveFileExW(aside.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH); // the old one stays in place
        DeleteFileW(from.c_str());
        temp.clear();
        return false;
    }
    temp.clear();
    return true;
}

void FileReplacement::discard()
{
    if (handle >= 0)
        CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)));
    handle = -1;
    if (!temp.empty())
        DeleteFileW(widen(temp).c_str());
    temp.clear();
}

extern const wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
// Windows runs RunOnce values at the next logon of an administrator; "!"
// keeps the value until the command has ended, so a recovery that crashes or
// loses power runs again. The unprefixed name is what older updaters armed.
extern const wchar_t kRecoveryValue[] = L"!FarwenUpdaterRecovery";
const wchar_t kOlderRecoveryValue[] = L"FarwenUpdaterRecovery";

bool armBootRecovery(const std::string &appPathUtf8)
{
    const std::wstring self = ownProgram();
    if (self.empty())
        return false;
    const std::wstring command = joinWindowsArguments({self, L"--recover", widen(appPathUtf8)});
    HKEY key = nullptr;
    const LSTATUS opened = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                           nullptr, &key, nullptr);
    if (opened != ERROR_SUCCESS) {
        SetLastError(DWORD(opened));
        return failed("RegCreateKeyExW", std::wstring(L"HKLM\\") + kRunOnceKey);
    }
    const LSTATUS set = RegSetValueExW(key, kRecoveryValue, 0, REG_SZ, reinterpret_cast<const BYTE *>(command.c_str()),
                                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return set == ERROR_SUCCESS || (SetLastError(DWORD(set)), failed("RegSetValueExW", kRecoveryValue));
}

void disarmBootRecovery()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, kRecoveryValue);
    RegDeleteValueW(key, kOlderRecoveryValue);
    RegCloseKey(key);
}

std::string dataRoot()
{
    // The machine's own, wherever it was moved; cached, as it cannot change.
    static const std::string root = [] {
        PWSTR known = nullptr;
        std::string path;
        if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, 0, nullptr, &known)) && known)
            path = narrow(known, wcslen(known));
        CoTaskMemFree(known);
        for (char &c : path)
            if (c == '\\')
                c = '/';
        while (path.size() > 3 && path.back() == '/')
            path.pop_back();
        return path;
    }();
    return root;
}

std::string toolProgram(Tool tool)
{
    // From the System directory by absolute path: an elevated process never
    // searches PATH, where a user may have put a tasklist.exe of their own.
    wchar_t dir[MAX_PATH];
    const UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::string();
    const std::wstring path = std::wstring(dir, n) + (tool == Tool::TaskKill ? L"\\taskkill.exe" : L"\\tasklist.exe");
    return narrow(path.data(), path.size());
}

void writeLogLine(const std::string &utf8)
{
    const std::wstring line = widen(utf8 + "\n");
    OutputDebugStringW(line.c_str());
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0, mode = 0;
    if (err == nullptr || err == INVALID_HANDLE_VALUE)
        return; // a GUI program started without one
    if (GetConsoleMode(err, &mode)) // a console shows UTF-16 right whatever its code page
        WriteConsoleW(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    else
        WriteFile(err, (utf8 + "\n").data(), static_cast<DWORD>(utf8.size() + 1), &written, nullptr);
}

} // namespace platform
