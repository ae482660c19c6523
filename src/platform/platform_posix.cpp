#include "platform/platform.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <cstdlib>
#include <unistd.h>

namespace platform {

bool isAdministrator()
{
    return geteuid() == 0;
}

bool relaunchElevated(const std::vector<std::string> &arguments)
{
    QStringList args{QCoreApplication::applicationFilePath()};
    for (const std::string &a : arguments)
        args << QString::fromStdString(a);
    return QProcess::startDetached(QStringLiteral("pkexec"), args);
}

void terminateNow(int exitCode)
{
    _exit(exitCode);
}

std::string dataRoot()
{
    const char *env = std::getenv("PROGRAMDATA");
    std::string root = (env && *env) ? env : "/var/tmp";
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

std::string toolProgram(Tool tool)
{
    switch (tool) {
    case Tool::TaskKill: return "taskkill";
    case Tool::TaskList: return "tasklist";
    case Tool::PowerShell: return "pwsh";
    case Tool::Tar: return "bsdtar";
    }
    return std::string();
}

} // namespace platform
