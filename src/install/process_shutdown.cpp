#include "install/process_shutdown.h"
#include "shared/product_names.h"

#include "platform/tool_process.h"
#include "platform/tool_path.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace {

QStringList killArguments(const QString &name, const QString &mainName)
{
    QStringList args{QStringLiteral("/F"), QStringLiteral("/IM"), name};
    if (name != mainName)
        args << QStringLiteral("/T"); // daemon and server go with their child processes
    return args;
}

} // namespace

ImageState imageState(const QString &name, int waitMs)
{
    ToolProcess query;
    query.start(toolPath(platform::Tool::TaskList),
                {QStringLiteral("/FI"), QStringLiteral("IMAGENAME eq %1").arg(name), QStringLiteral("/FO"),
                 QStringLiteral("CSV"), QStringLiteral("/NH")},
                QIODevice::ReadWrite);
    if (!query.waitForFinished(waitMs) || query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0) {
        // Without an answer the process may still run: never report it closed.
        qDebug() << "无法查询进程:" << name << query.errorString();
        query.kill();
        query.waitForFinished();
        return ImageState::Unknown;
    }
    // One quoted CSV row per process; image names compare as Windows does.
    for (const QString &line : QString::fromLocal8Bit(query.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        const QString row = line.trimmed();
        if (row.startsWith(QLatin1Char('"'))
            && row.mid(1, row.indexOf(QLatin1Char('"'), 1) - 1).compare(name, Qt::CaseInsensitive) == 0)
            return ImageState::Running;
    }
    return ImageState::Absent;
}

bool ProcessShutdown::closeProcesses()
{
    qDebug() << "=== 开始关闭相关进程 ===";
    const QFileInfo program(appPath);
    const QString programDir = program.absolutePath();
    const QString mainName = program.fileName();
    qDebug() << "程序目录:" << programDir;
    qDebug() << "主程序名称:" << mainName;

    const QString daemonName = QLatin1String(product::kDaemonImage);
    const QString serverName = QLatin1String(product::kServerImage);
    const QString daemonPath = programDir + QLatin1Char('/') + QLatin1String(product::kDaemonPath);
    const bool daemonExists = QFileInfo::exists(daemonPath);
    qDebug() << "守护进程路径:" << daemonPath << "存在:" << daemonExists;

    if (daemonExists) {
        qDebug() << "停止守护进程服务...";
        ToolProcess stop;
        stop.start(daemonPath, {QStringLiteral("stop")}, QIODevice::ReadWrite);
        if (stop.waitForFinished(timings.serviceStopWait))
            qDebug() << "服务停止命令完成，退出码:" << stop.exitCode();
        QThread::msleep(timings.afterServiceStopSleep);
    }

    const QStringList names{daemonName, serverName, mainName};
    const QString taskKill = toolPath(platform::Tool::TaskKill);
    for (const QString &name : names) {
        qDebug() << "强制关闭进程:" << name;
        ToolProcess kill;
        kill.start(taskKill, killArguments(name, mainName), QIODevice::ReadWrite);
        if (kill.waitForFinished(timings.killWait))
            qDebug() << "关闭" << name << "退出码:" << kill.exitCode();
        QThread::msleep(timings.afterKillSleep);
    }

    qDebug() << "检查残留进程...";
    // One deadline for all the queries: a tasklist that hangs costs it once.
    const QDeadlineTimer queries(timings.taskListWait);
    const auto left = [&queries]() { return int(qMax<qint64>(1, queries.remainingTime())); };
    for (const QString &name : names) {
        if (imageMayBeRunning(name, left())) {
            qDebug() << "发现残留进程:" << name << "，再次尝试关闭";
            ToolProcess again;
            again.start(taskKill, killArguments(name, mainName));
            again.waitForFinished(timings.killWait);
        }
    }

    const bool closed = !imageMayBeRunning(mainName, left());
    qDebug() << "主程序关闭状态:" << (closed ? "已关闭" : "可能仍在运行");
    QThread::msleep(timings.afterShutdownCheckSleep);
    qDebug() << "关闭进程完成";
    return closed;
}

bool ProcessShutdown::mainProgramStopped()
{
    // Started again since the shutdown (a watchdog): stop it once more; a main
    // program that still runs fails the unpack, as its locked file would.
    const QString mainName = QFileInfo(appPath).fileName();
    if (!imageMayBeRunning(mainName, timings.taskListWait))
        return true;
    qWarning() << "主程序再次运行，重新关闭:" << mainName;
    ToolProcess kill;
    kill.start(toolPath(platform::Tool::TaskKill), killArguments(mainName, mainName));
    kill.waitForFinished(timings.killWait);
    QThread::msleep(timings.afterKillSleep);
    if (!imageMayBeRunning(mainName, timings.taskListWait))
        return true;
    qCritical() << "主程序仍在运行，无法解压";
    return false;
}
