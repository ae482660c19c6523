// Stand-in for Windows "taskkill /F /IM NAME [/T]": SIGKILLs every process
// whose executable is NAME (with /T also their descendants). Exit 0 when it
// killed something, 128 when no such process ran.
#include "process_table.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <strings.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    std::string name;
    bool tree = false;
    for (int i = 1; i < argc; ++i) {
        if (strcasecmp(argv[i], "/IM") == 0 && i + 1 < argc)
            name = argv[++i];
        else if (strcasecmp(argv[i], "/T") == 0)
            tree = true;
        else if (strcasecmp(argv[i], "/F") != 0) {
            std::fprintf(stderr, "ERROR: Invalid argument/option - '%s'.\n", argv[i]);
            return 1;
        }
    }
    if (name.empty()) {
        std::fprintf(stderr, "ERROR: Invalid syntax.\n");
        return 1;
    }

    // Never this tool nor the program that called it.
    const std::set<pid_t> untouchable{getpid(), getppid()};
    const std::vector<ProcessEntry> all = listProcesses();
    std::set<pid_t> targets;
    for (const ProcessEntry &p : all)
        if (sameImageName(p.image, name) && !untouchable.count(p.pid))
            targets.insert(p.pid);
    if (targets.empty()) {
        std::fprintf(stderr, "ERROR: The process \"%s\" not found.\n", name.c_str());
        return 128;
    }
    if (tree) {
        for (bool grew = true; grew;) {
            grew = false;
            for (const ProcessEntry &p : all)
                if (targets.count(p.parent) && !targets.count(p.pid) && !untouchable.count(p.pid))
                    grew = targets.insert(p.pid).second || grew;
        }
    }
    for (pid_t pid : targets) {
        if (kill(pid, SIGKILL) == 0)
            std::printf("SUCCESS: The process with PID %d has been terminated.\n", static_cast<int>(pid));
    }
    return 0;
}
