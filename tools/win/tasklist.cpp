// Stand-in for Windows 'tasklist /FI "IMAGENAME eq NAME" [/FO CSV] [/NH]' where Wine's own
// prints nothing: a Toolhelp32 snapshot in the CSV layout. Installed only into the Windows
// tests' own Wine prefix.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t **argv)
{
    std::wstring name;
    bool noHeader = false;
    const std::wstring prefix = L"IMAGENAME eq ";
    for (int i = 1; i < argc; ++i) {
        if (_wcsicmp(argv[i], L"/NH") == 0)
            noHeader = true;
        if (_wcsicmp(argv[i], L"/FI") == 0 && i + 1 < argc) {
            const std::wstring filter = argv[++i];
            if (filter.size() > prefix.size() && _wcsnicmp(filter.c_str(), prefix.c_str(), prefix.size()) == 0)
                name = filter.substr(prefix.size());
        }
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "ERROR: no process snapshot\n");
        return 1;
    }
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    bool header = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (!name.empty() && _wcsicmp(entry.szExeFile, name.c_str()) != 0)
            continue;
        if (!header && !noHeader)
            std::printf("\"Image Name\",\"PID\",\"Session Name\",\"Session#\",\"Mem Usage\"\n");
        header = true;
        char image[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, entry.szExeFile, -1, image, sizeof(image), nullptr, nullptr);
        std::printf("\"%s\",\"%lu\",\"Console\",\"1\",\"0 K\"\n", image, entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    if (!header)
        std::printf("INFO: No tasks are running which match the specified criteria.\n");
    return 0;
}
