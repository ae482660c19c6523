#include "window/updater_window.h"
#include "shared/product_names.h"

#include "engine/update_engine.h"
#include "platform/native_path.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QCoreApplication>
#include <QDebug>

void UpdaterWindow::countdownTick(QTimer *timer)
{
    --countdownSeconds;
    if (countdownSeconds <= 0) {
        timer->stop();
        restartApplication();
        return;
    }
    restartButton->setText(QStringLiteral("Restart (%1)").arg(countdownSeconds));
}

void UpdaterWindow::restartApplication()
{
    if (!restartButton->isEnabled())
        return;
    const QString programDir = QFileInfo(appPath).absolutePath();
    restartButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Restarting application..."));
    const QString daemonPath = programDir + QLatin1Char('/') + QLatin1String(product::kDaemonPath);
    const QString serverDir = programDir + QLatin1Char('/') + QLatin1String(product::kServerDir);
    if (!QFile::exists(daemonPath)) {
        launchMainProgram(programDir);
        return;
    }

    daemonInstall = new QProcess(this);
    daemonInstall->setWorkingDirectory(serverDir);
    installStepDone = false;
    auto continueAfterInstall = [this, daemonPath, serverDir, programDir]() {
        if (installStepDone)
            return;
        installStepDone = true;
        QTimer::singleShot(timings.daemonRunDelay, this,
                           [this, daemonPath, serverDir, programDir]() { runDaemon(daemonPath, serverDir, programDir); });
    };
    connect(daemonInstall, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [continueAfterInstall](int, QProcess::ExitStatus) { continueAfterInstall(); });
    // An install run that cannot start at all never finishes: go on all the
    // same rather than leave the product stopped.
    connect(daemonInstall, &QProcess::errorOccurred, this, [continueAfterInstall](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            continueAfterInstall();
    });
    daemonInstall->start(daemonPath, {QStringLiteral("install")}, QIODevice::ReadWrite);

    QTimer::singleShot(timings.daemonInstallTimeout, this, [this]() {
        if (daemonInstall->state() != QProcess::NotRunning)
            daemonInstall->kill();
    });
}

void UpdaterWindow::runDaemon(const QString &daemonPath, const QString &serverDir, const QString &programDir)
{
    if (!QProcess::startDetached(daemonPath, {QStringLiteral("run")}, serverDir))
        QProcess::startDetached(daemonPath, {}, serverDir);
    QTimer::singleShot(timings.mainProgramDelay, this, [this, programDir]() { launchMainProgram(programDir); });
}

void UpdaterWindow::startMainProgramAsUser(const QString &programDir)
{
    // Never with the updater's rights: without a user to start it as (no
    // desktop shell on Windows) it stays stopped, and the log says so.
    if (!platform::startAsUser(platformPath(appPath), {}, platformPath(programDir)))
        qWarning() << "无法以用户身份启动主程序:" << appPath;
}

void UpdaterWindow::launchMainProgram(const QString &programDir)
{
    // As the user who asked for the update, not with the updater's rights.
    startMainProgramAsUser(programDir);
    endProcess(0);
}

void UpdaterWindow::restartStoppedProduct()
{
    restartingProduct = true;
    statusLabel->setText(QStringLiteral("Restarting application..."));
    const QString programDir = QFileInfo(appPath).absolutePath(), mainName = QFileInfo(appPath).fileName();
    const QString daemonPath = programDir + QLatin1Char('/') + QLatin1String(product::kDaemonPath);
    const int queryWait = timings.productQueryWait, delay = timings.mainProgramDelay;
    // Nothing that is seen running is started a second time; without an
    // answer, what the updater stopped is started again. tasklist may take
    // its whole wait: never on the GUI thread.
    QThread *restart = QThread::create([this, programDir, mainName, daemonPath, queryWait, delay]() {
        if (QFile::exists(daemonPath) && imageState(QLatin1String(product::kDaemonImage), queryWait) != ImageState::Running)
            QProcess::startDetached(daemonPath, {QStringLiteral("run")}, programDir + QLatin1Char('/') + QLatin1String(product::kServerDir));
        QThread::msleep(static_cast<unsigned long>(delay));
        if (imageState(mainName, queryWait) != ImageState::Running)
            startMainProgramAsUser(programDir);
    });
    connect(restart, &QThread::finished, this, []() { QCoreApplication::quit(); });
    connect(restart, &QThread::finished, restart, &QObject::deleteLater);
    restart->start();
}
