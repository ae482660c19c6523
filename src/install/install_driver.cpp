#include "install/install_driver.h"

#include "install/process_shutdown.h"
#include "platform/native_path.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QThread>

Outcome InstallDriver::run(const Steps &steps)
{
    ProcessShutdown shutdown(appPath, timings);
    progress(70, QStringLiteral("Closing processes..."));
    if (!shutdown.closeProcesses()) {
        progress(90, QStringLiteral("Recovery started..."));
        steps.removeWorkDir();
        backup.discard();
        return Outcome::ProcessesRunning;
    }
    QThread::msleep(timings.afterShutdownSleep);
    progress(75, QStringLiteral("Creating backup..."));
    // The journal says "unpacking" before the first file is overwritten.
    if (!steps.backUp() || !backup.writeJournal(QStringLiteral("unpacking"))) {
        steps.removeWorkDir();
        return Outcome::BackupFailed;
    }
    // A crash from here on is undone at the next start of the machine too.
    if (!platform::armBootRecovery(platformPath(QDir::toNativeSeparators(appPath))))
        qWarning() << "无法登记开机恢复";
    progress(80, QStringLiteral("Installing files..."));
    if (!shutdown.mainProgramStopped() || !steps.unpack()) {
        progress(90, QStringLiteral("Recovery in progress..."));
        if (!backup.restore(progress)) {
            // Left for manual recovery: closing the window must not remove it.
            backup.keep = true;
            return Outcome::Critical;
        }
        steps.removeWorkDir();
        backup.discard();
        return Outcome::Restored;
    }
    backup.writeJournal(QStringLiteral("unpacked"));
    progress(95, QStringLiteral("Finalizing..."));
    if (!steps.updateConfig())
        qWarning() << "配置文件更新失败，但程序更新已成功";
    steps.removeWorkDir();
    backup.discard();
    QThread::msleep(timings.beforeFinishSleep);
    progress(100, QStringLiteral("Finalizing"));
    return Outcome::Installed;
}
