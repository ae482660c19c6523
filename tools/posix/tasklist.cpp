// Stand-in for Windows 'tasklist /FI "IMAGENAME eq NAME" [/FO CSV] [/NH]':
// prints the matching processes in the Windows table or CSV layout.
#include "process_table.h"

#include <cstdio>
#include <cstring>
#include <strings.h>

int main(int argc, char **argv)
{
    std::string name;
    bool csv = false, noHeader = false;
    for (int i = 1; i < argc; ++i) {
        if (strcasecmp(argv[i], "/NH") == 0)
            noHeader = true;
        if (strcasecmp(argv[i], "/FO") == 0 && i + 1 < argc)
            csv = strcasecmp(argv[++i], "CSV") == 0;
        if (strcasecmp(argv[i], "/FI") == 0 && i + 1 < argc) {
            const std::string filter = argv[++i];
            const std::string prefix = "IMAGENAME eq ";
            if (filter.size() > prefix.size() && strncasecmp(filter.c_str(), prefix.c_str(), prefix.size()) == 0)
                name = filter.substr(prefix.size());
        }
    }

    bool header = false;
    for (const ProcessEntry &p : listProcesses()) {
        if (!name.empty() && !sameImageName(p.image, name))
            continue;
        if (!header && !noHeader) {
            if (csv)
                std::printf("\"Image Name\",\"PID\",\"Session Name\",\"Session#\",\"Mem Usage\"\n");
            else
                std::printf("\nImage Name                     PID Session Name        Session#    Mem Usage\n"
                            "========================= ======== ================ =========== ============\n");
        }
        header = true;
        if (csv)
            std::printf("\"%s\",\"%d\",\"Console\",\"1\",\"%ld K\"\n", p.image.c_str(), static_cast<int>(p.pid), p.rssKb);
        else
            std::printf("%-25.25s %8d %-16s %11d %10ld K\n", p.image.c_str(), static_cast<int>(p.pid), "Console", 1,
                        p.rssKb);
    }
    if (!header)
        std::printf("INFO: No tasks are running which match the specified criteria.\n");
    return 0;
}
