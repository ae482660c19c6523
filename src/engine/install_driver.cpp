#include "engine/update_engine.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QDebug>
#include <QThread>

void UpdateEngine::startInstall()
{
    qDebug() << "=== 开始执行安装（启动工作线程）===";
    if (workerThread) {
        workerThread->quit();
        workerThread->wait();
        delete workerThread;
        workerThread = nullptr;
    }
    workerThread = new QThread;
    moveToThread(workerThread);
    connect(workerThread, &QThread::started, this, &UpdateEngine::doInstallWork);
    workerThread->start();
}

void UpdateEngine::doInstallWork()
{
    qDebug() << "=== 开始执行安装（工作线程）===";

    // Exactly one final signal per run; isRunning is cleared right before it.
    auto finishWithError = [this](const QString &message) {
        isRunning = false;
        emit errorOccurred(message);
    };

    emit installProgress(70, QStringLiteral("Closing processes..."));
    if (!closeProcesses()) {
        emit installProgress(90, QStringLiteral("Recovery started..."));
        cleanupTempDir();
        cleanupBackupDir();
        finishWithError(QStringLiteral("无法关闭正在运行的程序，请手动关闭后重试，已恢复原版本"));
    } else {
        QThread::msleep(timings.afterShutdownSleep);
        emit installProgress(75, QStringLiteral("Creating backup..."));
        // The journal says "unpacking" before the first file is overwritten.
        if (!createBackup() || !writeJournal(QStringLiteral("unpacking"))) {
            cleanupTempDir();
            finishWithError(QStringLiteral("创建备份失败，停止更新"));
        } else {
            // A crash from here on is undone at the next start of the machine too.
            if (!platform::armBootRecovery(QDir::toNativeSeparators(appPath).toStdString()))
                qWarning() << "无法登记开机恢复";
            emit installProgress(80, QStringLiteral("Installing files..."));
            if (!mainProgramStopped() || !extractPackage()) {
                emit installProgress(90, QStringLiteral("Recovery in progress..."));
                if (restoreBackup()) {
                    cleanupTempDir();
                    cleanupBackupDir();
                    finishWithError(QStringLiteral("安装文件失败，已恢复原版本"));
                } else {
                    // Left for manual recovery: closing the window must not remove them.
                    keepBackupDir = true;
                    keepTempDir = true;
                    finishWithError(QStringLiteral("安装失败且无法恢复，需要重新安装"));
                }
            } else {
                writeJournal(QStringLiteral("unpacked"));
                emit installProgress(95, QStringLiteral("Finalizing..."));
                if (!updateConfigFile())
                    qWarning() << "配置文件更新失败，但程序更新已成功";
                cleanupTempDir();
                cleanupBackupDir();
                QThread::msleep(timings.beforeFinishSleep);
                emit installProgress(100, QStringLiteral("Finalizing"));
                isRunning = false;
                emit updateFinished(true, QStringLiteral("安装已成功完成"));
            }
        }
    }

    moveToThread(QCoreApplication::instance()->thread());
    QThread::currentThread()->quit();
}

bool UpdateEngine::installing() const
{
    return workerThread && workerThread->isRunning();
}

void UpdateEngine::waitForInstall()
{
    if (workerThread)
        workerThread->wait();
}
