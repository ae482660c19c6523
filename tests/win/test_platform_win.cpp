// The Windows platform layer's real Win32 calls, run under Wine. The modes
// (--child, --exit, --lock, --sleep, --job) are this program started again.
#include "platform/platform.h"
#include "platform/windows_cmdline.h"

#include <windows.h>
#include <sddl.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace platform {
extern const wchar_t kPrivateDirectorySecurity[];
}

namespace {

int passed = 0, failed = 0;
std::string logged;

void check(bool ok, const std::string &what)
{
    (ok ? passed : failed)++;
    if (!ok)
        std::printf("FAIL: %s\n", what.c_str());
}

std::vector<std::wstring> split(const std::wstring &commandLine)
{
    int n = 0;
    LPWSTR *argv = CommandLineToArgvW(commandLine.c_str(), &n);
    std::vector<std::wstring> out(argv, argv + n);
    LocalFree(argv);
    return out;
}

std::string narrow(const std::wstring &s)
{
    std::string out(WideCharToMultiByte(CP_UTF8, 0, s.c_str(), int(s.size()), nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.c_str(), int(s.size()), &out[0], int(out.size()), nullptr, nullptr);
    return out;
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

PROCESS_INFORMATION start(std::wstring line)
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    return pi;
}

DWORD runAndWait(const std::wstring &commandLine)
{
    const PROCESS_INFORMATION pi = start(commandLine); // not started: every call below fails
    WaitForSingleObject(pi.hProcess, 10000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code;
}

// Hostile arguments, as UTF-8: what the relaunch must pass on unchanged.
const std::vector<std::vector<std::string>> kArgumentSets{
    {"-i", "C:\\Program Files\\Pellamo\\update info.json", "-m", "manual"},
    {"a\tb", "", "x"},
    {"say \"hi\"", "\"", "a\"b"},
    {"C:\\dir\\", "C:\\my dir\\", "C:\\x y\\\\"},
    {"a\\\"b", "a\\\\\"b c", "\\\\\"", "\\"},
    {"\xe6\x9b\xb4\xe6\x96\xb0 \xe6\x96\x87\xe4\xbb\xb6.json", "caf\xc3\xa9"},
};

const wchar_t kRunOnce[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

std::wstring recoveryValue(const wchar_t *name)
{
    wchar_t value[4096] = {};
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, kRunOnce, name, RRF_RT_REG_SZ, nullptr, value, &size) == ERROR_SUCCESS
               ? value
               : L"";
}

} // namespace

int main()
{
    const std::vector<std::wstring> self = split(GetCommandLineW());
    if (self.size() >= 2 && self[1] == L"--child") {
        std::ofstream out(narrow(self[2]) + ".tmp", std::ios::binary);
        for (std::size_t i = 3; i < self.size(); ++i)
            out << narrow(self[i]) << '\n';
        out.close();
        MoveFileW((self[2] + L".tmp").c_str(), self[2].c_str());
        return 0;
    }
    if (self.size() >= 3 && self[1] == L"--exit")
        platform::terminateNow(std::stoi(narrow(self[2])));
    if (self.size() >= 2 && self[1] == L"--lock")
        return int(platform::takeSingleInstanceLock()) + 2; // Taken 2, HeldByAnother 3
    if (self.size() >= 3 && self[1] == L"--arm") { // the boot command's whole text, into a file (run from a long path too)
        const std::wstring armed = platform::armBootRecovery("C:\\app\\Pellamo.exe") ? recoveryValue(L"!FarwenUpdaterRecovery") : L"";
        // An older updater's unprefixed value goes at the disarm too.
        RegSetKeyValueW(HKEY_LOCAL_MACHINE, kRunOnce, L"FarwenUpdaterRecovery", REG_SZ, L"x", 4);
        platform::disarmBootRecovery();
        const bool gone = recoveryValue(L"!FarwenUpdaterRecovery").empty() && recoveryValue(L"FarwenUpdaterRecovery").empty();
        std::ofstream(narrow(self[2]), std::ios::binary) << narrow(armed) << (gone ? "" : " (left armed)");
        return 0;
    }
    if (self.size() >= 2 && self[1] == L"--replace-self") { // held as the loader holds an image: read and delete shared
        wchar_t image[MAX_PATH];
        GetModuleFileNameW(nullptr, image, MAX_PATH);
        const std::string path = narrow(image), scratch = path + ".plain";
        HANDLE loader = CreateFileW(image, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        std::ofstream(scratch) << "plain";
        const bool plainFails = !MoveFileExA(scratch.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        platform::FileReplacement replacement;
        const bool replaced = replacement.begin(path, true) && replacement.write("new", 3) && replacement.commit();
        CloseHandle(loader);
        return plainFails ? (replaced && slurp(path) == "new" ? 0 : 2) : 3;
    }
    if (self.size() >= 2 && self[1] == L"--sleep")
        Sleep(30000);
    if (self.size() >= 3 && self[1] == L"--job") { // a tool in the job, then this "updater" dies
        const PROCESS_INFORMATION pi = start(L"\"" + self[0] + L"\" --sleep");
        platform::bindToUpdater(pi.dwProcessId);
        std::ofstream(narrow(self[2])) << pi.dwProcessId;
        platform::terminateNow(0);
    }

    // The data root is the known folder, moved here (Wine reads where from
    // these values, as Windows does), not the variables a caller can set.
    const auto knownFolder = [](const wchar_t *unexpanded, const wchar_t *expanded) {
        const std::wstring key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";
        for (const auto &v : {std::make_pair(L"User Shell Folders", unexpanded), std::make_pair(L"Shell Folders", expanded)})
            RegSetKeyValueW(HKEY_LOCAL_MACHINE, (key + v.first).c_str(), L"Common AppData", v.second[0] == L'%' ? REG_EXPAND_SZ : REG_SZ,
                            v.second, DWORD((wcslen(v.second) + 1) * sizeof(wchar_t)));
    };
    CreateDirectoryW(L"C:\\FarwenData", nullptr);
    knownFolder(L"C:\\FarwenData", L"C:\\FarwenData");
    SetEnvironmentVariableW(L"ProgramData", L"C:\\users\\Public");

    // The relaunch: the started copy, splitting its command line the Windows
    // way, receives exactly the hostile arguments.
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string record = std::string(dir) + "farwen_relaunch.txt";
    DeleteFileA(record.c_str());
    std::vector<std::string> relaunchArgs{"--child", record};
    for (const auto &args : kArgumentSets)
        relaunchArgs.insert(relaunchArgs.end(), args.begin(), args.end());
    check(platform::relaunchElevated(relaunchArgs), "relaunch started");
    for (int i = 0; i < 100 && GetFileAttributesA(record.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    std::string expected;
    for (std::size_t i = 2; i < relaunchArgs.size(); ++i)
        expected += relaunchArgs[i] + '\n';
    check(slurp(record) == expected, "relaunched copy got the same arguments");

    const std::string to = std::string(dir) + "farwen_to.bin";
    std::ofstream(to, std::ios::binary) << std::string("abc\0def", 7);

    // A file replaced whole: the new bytes after the commit, the old ones
    // until then and after a discard; nothing left beside it.
    platform::FileReplacement replacement;
    check(replacement.begin(to, true) && replacement.write("new", 3) && slurp(to) == std::string("abc\0def", 7)
              && replacement.commit() && slurp(to) == "new",
          "replaced whole");
    check(replacement.begin(to, false) && replacement.write("x", 1), "second replacement begun");
    replacement.discard();
    check(slurp(to) == "new" && GetFileAttributesA(platform::FileReplacement::pendingPath(to).c_str()) == INVALID_FILE_ATTRIBUTES,
          "discarded replacement leaves the target");
    // The new contents read from a file, over more than one read (never moved in: a moved file
    // would keep its folder's access list); a missing one is no contents.
    const std::string from = std::string(dir) + "farwen_from.bin";
    std::string taken(3 << 19, 'q');
    taken[1 << 20] = '\0';
    taken.back() = 'e';
    std::ofstream(from, std::ios::binary) << taken;
    check(!replacement.adopt(to, from, false) && replacement.begin(to, false) && replacement.writeFrom(from) && replacement.commit() && slurp(to) == taken
              && replacement.begin(to, false) && !replacement.writeFrom(from + ".missing"),
          "written from a file");
    replacement.discard();
    // Held for a moment (a scanner's open): tried again until it is free. Held
    // throughout: not replaced, and the log says who held it, or that nobody could tell.
    platform::setFailureLog([](const std::string &line) { logged += line + '\n'; });
    HANDLE inUse = CreateFileA(to.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    std::thread release([inUse] { Sleep(1000), CloseHandle(inUse); });
    const bool waited = replacement.begin(to, false) && replacement.write("z", 1) && replacement.commit() && slurp(to) == "z"
                        && logged.find("Windows: in use, tried again for 3 s: " + to) != std::string::npos;
    check(waited, "a target held for 1 s is replaced once free: " + logged);
    release.join();
    inUse = CreateFileA(to.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    logged.clear();
    const DWORD began = GetTickCount();
    const bool refused = replacement.begin(to, false) && replacement.write("y", 1) && !replacement.commit() && slurp(to) == "z"
                         && GetTickCount() - began >= 3000;
    // Asked once when first refused, once at the end; the holder is this process (Wine's
    // Restart Manager answers with nobody).
    const std::string still = "Windows: still in use: " + to + ": ", tried = "Windows: in use, tried again for 3 s: ";
    const std::size_t at = logged.find(still);
    const std::string holders = at == std::string::npos ? "" : logged.substr(at + still.size(), logged.find('\n', at) - at - still.size());
    const bool named = holders == "the Restart Manager names no process"
                       || (holders.rfind("held by ", 0) == 0 && holders.find(" (pid " + std::to_string(GetCurrentProcessId()) + ")") != std::string::npos);
    const bool once = logged.find(tried) != std::string::npos && logged.find(tried) == logged.rfind(tried);
    check(refused && named && once, "a target held throughout is not replaced, after 3 s, and its holders are named: " + logged);
    CloseHandle(inUse);
    platform::setFailureLog(nullptr);
    // This program replaced while it runs: aside beside it, whole, the new one in its place.
    const std::string running = std::string(dir) + "farwen_self\\updater.exe";
    char image[MAX_PATH];
    GetModuleFileNameA(nullptr, image, MAX_PATH);
    platform::removeTree(std::string(dir) + "farwen_self", platform::Owner::Elevated);
    CreateDirectoryA((std::string(dir) + "farwen_self").c_str(), nullptr);
    check(CopyFileA(image, running.c_str(), FALSE)
              && runAndWait(L"\"" + std::wstring(running.begin(), running.end()) + L"\" --replace-self") == 0,
          "a plain replace of the running program fails, the replacement succeeds");
    WIN32_FIND_DATAA found;
    HANDLE asides = FindFirstFileA((running + ".old-*").c_str(), &found);
    check(asides != INVALID_HANDLE_VALUE && platform::FileReplacement::isAsideName(found.cFileName)
              && slurp(std::string(dir) + "farwen_self\\" + found.cFileName) == slurp(image) && !FindNextFileA(asides, &found),
          "the running program is aside, whole");
    FindClose(asides);

    // Private directory: made new only, with a protected DACL that grants
    // Administrators and SYSTEM alone. Wine keeps no descriptor given at
    // creation (it reports one from the Unix mode), so the descriptor is
    // checked as the layer hands it to CreateDirectoryW.
    const std::string privateDir = std::string(dir) + "farwen_private";
    RemoveDirectoryA(privateDir.c_str());
    check(platform::createPrivateDirectory(privateDir), "private directory made");
    check(!platform::createPrivateDirectory(privateDir), "private directory never reused");
    check(!platform::isLink(privateDir), "a directory is no link");
    PSECURITY_DESCRIPTOR sd = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool onlyAdminsAndSystem =
        ConvertStringSecurityDescriptorToSecurityDescriptorW(platform::kPrivateDirectorySecurity, SDDL_REVISION_1, &sd,
                                                             nullptr)
        && GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present && dacl && dacl->AceCount == 2
        && GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED);
    BYTE admins[SECURITY_MAX_SID_SIZE], system[SECURITY_MAX_SID_SIZE];
    DWORD n1 = sizeof(admins), n2 = sizeof(system);
    CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &n1);
    CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &n2);
    for (DWORD i = 0; onlyAdminsAndSystem && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        onlyAdminsAndSystem = GetAce(dacl, i, reinterpret_cast<void **>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE
                              && (EqualSid(&ace->SidStart, admins) || EqualSid(&ace->SidStart, system));
    }
    check(onlyAdminsAndSystem, "private directory grants Administrators and SYSTEM only");
    LocalFree(sd);
    // The run's log opened to the user who asked (under Wine, with no shell, this user).
    const std::string log = std::string(dir) + "farwen_update.log";
    std::ofstream(log) << "x";
    check(platform::allowRequester(privateDir, true) && platform::allowRequester(log, false), "the user who asked may read a log");

    // One updater per machine: free after its holder ended, held while it runs.
    const std::wstring lockChild = L"\"" + self[0] + L"\" --lock";
    check(runAndWait(lockChild) == 2, "lock free, and free again after its holder ended");
    check(platform::takeSingleInstanceLock() == platform::LockResult::Taken, "lock taken");
    check(runAndWait(lockChild) == 3, "a second updater is turned away");

    // A tool in the updater's job dies with the updater.
    const std::string jobRecord = std::string(dir) + "farwen_job.txt";
    check(runAndWait(L"\"" + self[0] + L"\" --job " + std::wstring(jobRecord.begin(), jobRecord.end())) == 0, "job parent");
    HANDLE tool = OpenProcess(SYNCHRONIZE, FALSE, std::stoul("0" + slurp(jobRecord)));
    check(tool && WaitForSingleObject(tool, 5000) == WAIT_OBJECT_0, "the tool ended with its updater");
    if (tool)
        CloseHandle(tool);

    // Unelevated start through the shell's token; Wine may have no shell window.
    const std::string started = std::string(dir) + "farwen_user_start.txt";
    DeleteFileA(started.c_str());
    const bool startedAsUser = platform::startAsUser(narrow(self[0]), {"--child", started, "as user"}, dir);
    for (int i = 0; startedAsUser && i < 100 && GetFileAttributesA(started.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(100);
    check(startedAsUser ? slurp(started) == "as user\n" : GetShellWindow() == nullptr,
          "unelevated start runs the program, or is refused only without a shell window");

    // Copies and removals below a root: nested parts made, never through "..". The root is
    // the working directory, as the installation is for an updater installed in it.
    const std::string src = std::string(dir) + "farwen_from", dst = std::string(dir) + "farwen_to";
    CreateDirectoryA(src.c_str(), nullptr);
    CreateDirectoryA(dst.c_str(), nullptr);
    SetCurrentDirectoryA(dst.c_str());
    DeleteFileA((dst + "\\d\\f").c_str());
    CreateDirectoryA((src + "\\d").c_str(), nullptr);
    std::ofstream(src + "\\d\\f") << "below";
    check(platform::copyFileBelow(src, dst, "d/f") && slurp(dst + "\\d\\f") == "below", "copied below a root");
    check(!platform::copyFileBelow(src, dst, "d/f") && !platform::copyFileBelow(src, dst, "d/../d/f")
              && !platform::copyFileBelow(src, dst, "d/g"),
          "no copy over a file, through .. or of nothing");
    check(!platform::removeFileBelow(dst, "d/../d/f") && platform::removeFileBelow(dst, "d/f")
              && GetFileAttributesA((dst + "\\d\\f").c_str()) == INVALID_FILE_ATTRIBUTES,
          "removed below a root, never through ..");
    DeleteFileA((dst + "\\g").c_str()); // a run before this one's
    platform::HashedCopier copier;
    const bool copied = copier.copy(src + "\\d\\f", dst + "\\g", "g") && !copier.copy(src + "\\d\\f", dst + "\\g", "again");
    const auto hashed = copier.finish();
    check(copied && slurp(dst + "\\g") == "below" && hashed.size() == 1 && hashed.at("g").size == 5
              && hashed.at("g").sha256 == "8ada24bf6bf3139273899fed85010be710367bbd1f8a176f19da97a62bc3bc65"
              && hashed.at("g").stamp == platform::fileStamp(dst + "\\g") && !hashed.at("g").stamp.empty(),
          "a copy hashed as written, never over a file");
    platform::FlushPlan plan, heldPlan;
    plan.wrote(dst, "g");
    plan.changed(dst, "gone/x");
    heldPlan.wrote(dst, "g");
    check(plan.flush(), "flushed, a directory that went as its parent");
    HANDLE reader = CreateFileA((dst + "\\g").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    check(!heldPlan.flush(), "a file held from writing is not flushed");
    CloseHandle(reader);
    CreateDirectoryA((dst + "\\t").c_str(), nullptr);
    std::ofstream(dst + "\\t\\x") << "x";
    check(platform::removeTree(dst + "\\t", platform::Owner::Elevated) && GetFileAttributesA((dst + "\\t").c_str()) == INVALID_FILE_ATTRIBUTES,
          "a tree removed through its handles");
    const std::string suffix = platform::randomSuffix();
    check(suffix.size() == 10 && suffix != platform::randomSuffix(), "random names");
    check(platform::untrustedEntry(src + "\\missing") == "cannot be read", "a missing entry is not trusted");
    check(platform::untrustedEntry(src).empty() && platform::untrustedEntry("Z:/tmp") == "writable by others"
              && platform::unsafeDataRoot().empty(), "under Wine trust follows the Unix mode: 0755 yes, 1777 no");

    // A tasklist.exe planted first on PATH is never what the updater runs.
    const std::string planted = std::string(dir) + "farwen_planted", mark = planted + "\\ran.txt";
    const std::string chosen = platform::toolProgram(platform::Tool::TaskList);
    CreateDirectoryA(planted.c_str(), nullptr);
    DeleteFileA(mark.c_str());
    CopyFileW(self[0].c_str(), (std::wstring(planted.begin(), planted.end()) + L"\\tasklist.exe").c_str(), FALSE);
    SetEnvironmentVariableA("PATH", (planted + ";" + std::getenv("PATH")).c_str());
    check(chosen.find(":\\windows\\system32\\tasklist.exe") != std::string::npos
              && runAndWait(L"\"" + std::wstring(chosen.begin(), chosen.end()) + L"\" --child " + std::wstring(mark.begin(), mark.end()) + L" x") == 0
              && GetFileAttributesA(mark.c_str()) == INVALID_FILE_ATTRIBUTES,
          "tools from the System directory, never a planted one");

    check(platform::dataRoot() == "C:/FarwenData" && platform::isAdministrator(), "data root the known folder, administrator");
    knownFolder(L"%ProgramData%", L"C:\\ProgramData");
    // The -i file: read and removed through one handle; a directory is no file.
    const std::string info = std::string(dir) + "farwen_info.json";
    std::ofstream(info, std::ios::binary) << "{\"a\": 1}";
    platform::HeldFile held;
    std::string bytes;
    check(held.open(info).empty() && held.readAll(&bytes, 100) && bytes == "{\"a\": 1}" && !held.identity().empty()
              && held.identity() == platform::fileIdentity(info) && held.remove() && (held.close(), held.open(info) == "missing")
              && GetFileAttributesA(info.c_str()) == INVALID_FILE_ATTRIBUTES && held.open(dir) == "not a plain file",
          "a file read and removed through its handle; a folder is no plain file");
    // The process really ends with the given code.
    check(runAndWait(L"\"" + self[0] + L"\" --exit 7") == 7, "terminateNow exit code");
    // The recovery value's exact text, under the name Windows keeps until the command has ended.
    wchar_t me[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, me, MAX_PATH);
    const std::string armed = std::string(dir) + "farwen_armed.txt", program = narrow(me);
    runAndWait(L"\"" + self[0] + L"\" --arm " + std::wstring(armed.begin(), armed.end()));
    check(slurp(armed) == (program.find(' ') == std::string::npos ? program : '"' + program + '"') + " --recover C:\\app\\Pellamo.exe",
          "the recovery value \"!FarwenUpdaterRecovery\", removed with an older one: " + slurp(armed));

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
