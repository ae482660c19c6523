#include "process_table.h"

#include <cctype>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::string baseName(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The executable's file name; the kernel's 15-character "comm" would confuse
// long names that share a prefix.
std::string imageOf(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    char buf[4096];
    const ssize_t n = readlink((proc + "/exe").c_str(), buf, sizeof(buf) - 1);
    if (n > 0) {
        std::string target(buf, static_cast<std::size_t>(n));
        const std::string deleted = " (deleted)"; // the update replaced the file it runs from
        if (target.size() > deleted.size() && target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0)
            target.resize(target.size() - deleted.size());
        return baseName(target);
    }
    std::ifstream cmdline(proc + "/cmdline");
    std::string argv0;
    std::getline(cmdline, argv0, '\0');
    return baseName(argv0);
}

} // namespace

std::vector<ProcessEntry> listProcesses()
{
    std::vector<ProcessEntry> out;
    DIR *dir = opendir("/proc");
    if (!dir)
        return out;
    while (dirent *e = readdir(dir)) {
        if (!std::isdigit(static_cast<unsigned char>(e->d_name[0])))
            continue;
        ProcessEntry p;
        p.pid = static_cast<pid_t>(std::stol(e->d_name));
        std::ifstream stat("/proc/" + std::string(e->d_name) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // Fields after the parenthesised name: state, ppid, ...
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        std::string state;
        rest >> state >> p.parent;
        if (state == "Z")
            continue; // already dead, only waiting to be reaped
        p.image = imageOf(p.pid);
        if (p.image.empty())
            continue;
        std::ifstream status("/proc/" + std::string(e->d_name) + "/status");
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0)
                p.rssKb = std::atol(line.c_str() + 6);
        out.push_back(p);
    }
    closedir(dir);
    return out;
}

bool sameImageName(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
