#pragma once
// Reads the running processes from /proc for the taskkill and tasklist stand-ins.
#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessEntry
{
    pid_t pid = 0;
    pid_t parent = 0;
    std::string image; // file name of the executable, as Windows shows the image name
    long rssKb = 0;
};

std::vector<ProcessEntry> listProcesses();

// Windows compares image names without regard to case.
bool sameImageName(const std::string &a, const std::string &b);
