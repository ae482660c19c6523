#pragma once
#include "platform/platform.h"

#include <QCoreApplication>
#include <QProcess>

// A child process for the updater's tools (taskkill, tasklist,
// tar, the daemon's "stop"): it dies with the updater, so no tool goes on
// writing into the installation after a crash. Not for the product itself.
class ToolProcess : public QProcess
{
public:
    ToolProcess()
    {
        const long long parent = QCoreApplication::applicationPid();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#if defined(Q_OS_UNIX) // Qt 6 runs code in the child only on Unix; Windows uses the job
        setChildProcessModifier([parent]() { platform::dieWithParent(parent); });
#endif
        Q_UNUSED(parent);
#else
        updaterPid = parent;
#endif
        connect(this, &QProcess::started, this, [this]() { platform::bindToUpdater(processId()); });
    }

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override { platform::dieWithParent(updaterPid); }

private:
    long long updaterPid = 0;
#endif
};
