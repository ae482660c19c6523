// Stand-in for the product's programs (main program, daemon, server). Copied
// under the product's file names. Appends how it was called to the file named
// by FARWEN_FIXTURE_LOG (with the version.txt beside it), then:
//   "stop"    exits at once;
//   "install" sleeps FARWEN_FIXTURE_INSTALL_SECONDS (default 0), then exits
//             (with FARWEN_FIXTURE_BREAK_ON_INSTALL it first makes itself non-executable);
//   anything else stays running until killed.
// As a Windows program also "hold FILE [loader]" (open, sharing no writes, and with "loader"
// sharing deletion as the loader holds a running image; FILE.held says so) and
// "ini FILE SECTION KEY" (the value as Windows' profile API reads it), and "runonce" (the
// updater's RunOnce value, split into lines as Windows splits a command line).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <process.h>
#include <windows.h>
#define getcwd _getcwd
#define getpid _getpid
#define getuid() -1
#define chmod(path, mode) ((void)(path), (void)(mode))
#define pause() Sleep(INFINITE)
#define wide(s) std::wstring(s, s + std::strlen(s)) // the tests' paths are ASCII
#else
#include <unistd.h>
#endif

int main(int argc, char **argv)
{
    std::string self = argv[0];
    char buf[4096];
#ifdef _WIN32
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof(buf));
    for (DWORD i = 0; i < n; ++i)
        buf[i] = buf[i] == '\\' ? '/' : buf[i];
#else
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
#endif
    if (n > 0)
        self.assign(buf, static_cast<std::size_t>(n));
    const std::string cmd = argc > 1 ? argv[1] : "";
    // A tool double of the tests (Windows): logs "name|args" beside itself, then prints, sleeps and exits as told.
    std::ifstream told(self + ".double");
    int code = 0, seconds = 0;
    if (told >> code >> seconds) {
        std::ofstream calls(self.substr(0, self.rfind('/')) + "/calls.log", std::ios::app | std::ios::binary);
        calls << self.substr(self.rfind('/') + 1, self.size() - self.rfind('/') - 5);
        for (int i = 1; i < argc; ++i)
            calls << '|' << argv[i];
        calls << std::endl;
        std::printf("%s", std::string(std::istreambuf_iterator<char>(told), {}).c_str());
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        return code;
    }
#ifdef _WIN32
    if (cmd == "hold" && argc > 2) {
        const DWORD share = FILE_SHARE_READ | (argc > 3 && std::strcmp(argv[3], "loader") == 0 ? FILE_SHARE_DELETE : 0);
        const HANDLE held = CreateFileW(wide(argv[2]).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
        std::ofstream(std::string(argv[2]) + ".held") << (held == INVALID_HANDLE_VALUE ? "not held " : "held ") << GetLastError();
        Sleep(INFINITE);
    }
    if (cmd == "ini" && argc > 4) {
        wchar_t value[256];
        GetPrivateProfileStringW(wide(argv[3]).c_str(), wide(argv[4]).c_str(), L"", value, 256, wide(argv[2]).c_str());
        std::printf("%ls\n", value);
        return 0;
    }
    if (cmd == "runonce") {
        wchar_t value[4096];
        DWORD size = sizeof(value);
        int n = 0;
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", L"!FarwenUpdaterRecovery",
                         RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
            return 1;
        wchar_t **args = CommandLineToArgvW(value, &n);
        for (int i = 0; i < n; ++i)
            std::printf("%ls\n", args[i]);
        return 0;
    }
#endif

    if (const char *log = std::getenv("FARWEN_FIXTURE_LOG")) {
        char cwd[4096] = "?";
        if (!getcwd(cwd, sizeof(cwd)))
            cwd[0] = '?';
        std::ofstream out(log, std::ios::app);
        out << self.substr(self.rfind('/') + 1) << " args=[";
        for (int i = 1; i < argc; ++i)
            out << (i > 1 ? " " : "") << argv[i];
        // The version file beside the program tells which version runs.
        std::ifstream versionFile(self.substr(0, self.rfind('/')) + "/version.txt");
        std::string version = "-";
        std::getline(versionFile, version);
        // Monotonic: comparable between processes, immune to clock changes.
        const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
        out << "] cwd=" << cwd << " pid=" << getpid() << " uid=" << getuid() << " version=" << version << " t=" << ms
            << "\n";
    }
    if (cmd == "stop")
        return 0;
    if (cmd == "install") {
        // Leaves the daemon unstartable, as a broken service install might.
        if (std::getenv("FARWEN_FIXTURE_BREAK_ON_INSTALL"))
            chmod(self.c_str(), 0644);
        const char *secs = std::getenv("FARWEN_FIXTURE_INSTALL_SECONDS");
        std::this_thread::sleep_for(std::chrono::milliseconds(secs ? static_cast<int>(std::atof(secs) * 1000) : 0));
        return 0;
    }
    for (;;)
        pause();
}
