#include "engine/update_engine.h"

#include "engine/apply_journal.h"
#include "engine/ini_file.h"
#include "platform/platform.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QNetworkReply>
#include <QStorageInfo>
#include <QThread>

namespace {

// False when anything of it stayed.
bool removeWorkDir(const QString &path, const char *label)
{
    // A link put in the directory's place goes, never what it points to.
    if (path.isEmpty() || (!QFileInfo(path).isDir() && !platform::isLink(path.toStdString())))
        return true;
    qDebug() << label << path;
    return platform::removeTree(QFile::encodeName(path).toStdString(), platform::Owner::Elevated);
}

} // namespace

UpdateEngine::UpdateEngine(QObject *parent)
    : QObject(parent)
    , availableBytes([](const QString &path) { return QStorageInfo(path).bytesAvailable(); })
{
}

UpdateEngine::~UpdateEngine()
{
    // A package check still reading must end before its thread object goes.
    cancelled = true;
    stopTransfer();
    if (downloadThread)
        downloadThread->quit();
    for (QThread *thread : findChildren<QThread *>())
        thread->wait();
}

void UpdateEngine::setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl)
{
    this->appPath = appPath;
    this->newVersion = newVersion;
    this->downloadUrl = downloadUrl;

    appDir = QFileInfo(appPath).absolutePath();
    configPath = appDir + QStringLiteral("/config.ini");

    if (!QFileInfo(appPath).isFile()) {
        qCritical() << "错误：程序文件不存在:" << appPath;
        emit errorOccurred(QStringLiteral("程序文件不存在，无法更新"));
        return;
    }

    // Before anything else: an apply that a crash interrupted is undone first.
    recoveryFailed = !recoverInterruptedApply();
    if (recoveryFailed)
        emit errorOccurred(QStringLiteral("安装失败且无法恢复，需要重新安装"));

    tempBase = QString::fromStdString(platform::dataRoot()) + QStringLiteral("/KarvoUpdate_")
               + QString::number(QDateTime::currentSecsSinceEpoch());
    createTempDir();
    backupDir = appDir + QLatin1Char('/')
                + QStringLiteral("_update_backup_%1")
                      .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss")));
}

bool UpdateEngine::writeJournal(const QString &phase)
{
    IniFile config;
    ApplyJournal journal{phase, appDir, backupDir, QString(), newVersion, addedFiles, backupCopies, backupCopiesRecorded};
    if (config.load(configPath))
        journal.oldVersion = config.value(QStringLiteral("App"), QStringLiteral("Version"));
    if (journal.write())
        return true;
    qCritical() << "无法写入更新日志:" << ApplyJournal::pathFor(backupDir);
    return false;
}

QString UpdateEngine::createFreshDirectory(const QString &base)
{
    // Never reuse what is already there: someone else may have put it there.
    // A random part nobody can plant ahead; a few tries for a mere clash.
    QDir().mkpath(QFileInfo(base).absolutePath());
    for (int n = 0; n < 16; ++n) {
        const std::string suffix = platform::randomSuffix(8);
        const QString candidate = base + QLatin1Char('_') + QString::fromStdString(suffix);
        if (!suffix.empty() && platform::createPrivateDirectory(QFile::encodeName(candidate).toStdString()))
            return candidate;
        if (suffix.empty() || (!QFileInfo::exists(candidate) && !platform::isLink(candidate.toStdString())))
            break; // not a clash: the directory cannot be made at all
    }
    qWarning() << "无法创建目录:" << base;
    return QString();
}

void UpdateEngine::createTempDir()
{
    tempDir = createFreshDirectory(tempBase);
    zipPath = tempDir.isEmpty() ? QString() : tempDir + QStringLiteral("/update.zip");
}

bool UpdateEngine::checkDiskSpace(qint64 total)
{
    // Space on disk (total), not file sizes: small files take whole clusters.
    installedBytes = total; // the installation does not change while the package arrives
    qDebug() << "程序大小:" << total << "字节";
    if (total <= 0) {
        qDebug() << "无法计算程序大小，跳过空间检查";
        return true;
    }
    const qint64 available = availableBytes(appDir);
    const qint64 required = total * 2;
    qDebug() << "磁盘空间 - 需要:" << required << "可用:" << available;
    if (available < required) {
        qDebug() << "磁盘空间不足";
        return false;
    }
    return true;
}

bool UpdateEngine::enoughSpaceFor(const PackageContents &contents, qint64 installed)
{
    // The backup copies the installation, the unpack may add the whole package.
    const qint64 required = qMax<qint64>(0, installed) + contents.unpackedSize;
    const qint64 available = availableBytes(appDir);
    qDebug() << "解压所需空间 - 需要:" << required << "可用:" << available;
    if (available >= 0 && available < required) {
        qDebug() << "磁盘空间不足";
        return false;
    }
    return true;
}

void UpdateEngine::cancel()
{
    qDebug() << "取消更新操作";
    cancelled = true;

    stopTransfer();
    for (QNetworkReply *signatureFetch : findChildren<QNetworkReply *>())
        signatureFetch->abort();
    if (checkThread) {
        checkThread->wait(); // it stops at the next block, seeing cancelled
        checkThread = nullptr;
    }
    discardPartialFile(); // the package's own file: only once nothing reads it
    if (sizeThread) {
        sizeThread->wait();
        sizeThread = nullptr;
    }

    if (workerThread) {
        workerThread->quit();
        if (!workerThread->wait(timings.cancelThreadWait)) {
            // The pipeline is still working on the installation: it must keep
            // its thread and its files. It clears isRunning and reports its
            // outcome itself; the thread object goes with the next start or cancel.
            qWarning() << "安装仍在进行，取消将在安装结束后生效";
            return;
        }
        delete workerThread;
        workerThread = nullptr;
    }

    cleanupTempDir();
    cleanupBackupDir();
    isRunning = false;
}

void UpdateEngine::cleanupTempDir()
{
    package.close(); // Windows deletes no file that is open
    if (keepTempDir)
        return;
    removeWorkDir(tempDir, "清理临时目录:");
    if (!zipPath.isEmpty() && zipPath == cache.partialPath())
        cache.remove(); // the downloaded package, left where it was written
    tempDirRemoved = true;
}

void UpdateEngine::cleanupBackupDir()
{
    if (keepBackupDir)
        return;
    // Nothing to undo is on disk before any part of the backup goes: a kill
    // in between leaves a journal that says so, never half a backup to restore.
    if (!backupDir.isEmpty() && QFileInfo::exists(ApplyJournal::pathFor(backupDir))
        && !writeJournal(QStringLiteral("committed"))) {
        keepBackupDir = true;
        return;
    }
    // What stays of the backup keeps its journal: the next start removes the rest.
    if (removeWorkDir(backupDir, "清理备份目录:") && !backupDir.isEmpty() && QFile::remove(ApplyJournal::pathFor(backupDir)))
        platform::disarmBootRecovery(); // committed or rolled back
    backupDirMade = false;
}
