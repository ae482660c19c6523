#include "engine/update_engine.h"
#include "shared/product_names.h"

#include "download/package_transfer.h"
#include "install/config_update.h"
#include "install/ini_file.h"
#include "install/install_driver.h"
#include "install/interrupted_apply.h"
#include "install/work_dir.h"
#include "package/file_list.h"
#include "package/package_extraction.h"
#include "platform/native_path.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QThread>

UpdateEngine::UpdateEngine(QObject *parent)
    : QObject(parent)
    , availableBytes([](const QString &path) { return QStorageInfo(path).bytesAvailable(); })
{
    qRegisterMetaType<Outcome>(); // errorOccurred crosses from the install thread
    connect(&download, &PackageDownload::lengthKnown, this, &UpdateEngine::checkWorkDirSpace);
    connect(&download, &PackageDownload::progress, this, &UpdateEngine::onDownloadProgress);
    connect(&download, &PackageDownload::ended, this, &UpdateEngine::onDownloadEnded);
    // The person sees why the bar stands still.
    connect(&download, &PackageDownload::retrying, this, [this](int attempt, int tries) {
        emit statusChanged(QStringLiteral("Connection lost, retrying (%1/%2)...").arg(attempt).arg(tries));
    });
}

UpdateEngine::~UpdateEngine()
{
    // A package check still reading must end before its thread object goes.
    cancelled = true;
    download.stop();
    for (QThread *thread : findChildren<QThread *>())
        thread->wait();
}

void UpdateEngine::setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl)
{
    this->appPath = appPath;
    this->newVersion = newVersion;
    download.url = downloadUrl;

    appDir = QFileInfo(appPath).absolutePath();
    configPath = appDir + QStringLiteral("/config.ini");

    if (!QFileInfo(appPath).isFile()) {
        qCritical() << "错误：程序文件不存在:" << appPath;
        fail(Outcome::NoProgram);
        return;
    }

    // Before anything else: an apply that a crash interrupted is undone first.
    recoveryFailed = !recoverInterruptedApply(appDir, [this](int p, const QString &m) { emitInstallProgress(p, m); });
    if (recoveryFailed)
        fail(Outcome::Critical);

    tempBase = QString::fromStdString(platform::dataRoot()) + QLatin1Char('/') + QLatin1String(product::kWorkDirPrefix)
               + QString::number(QDateTime::currentSecsSinceEpoch());
    createTempDir();
    backup.setTarget(appDir, newVersion);
}

bool UpdateEngine::recoverInstallation(const QString &mainProgram)
{
    appPath = mainProgram;
    appDir = QFileInfo(mainProgram).absolutePath();
    return recoverInterruptedApply(appDir);
}

void UpdateEngine::setSignatureInputs(const QByteArray &keyFile, const QString &signatureText)
{
    QString reason;
    if (!keyFile.isEmpty() && !download.signature.setKeys(keyFile, &reason))
        qCritical() << "公钥文件格式不正确:" << reason; // refused at start-up already
    download.signature.setSignature(signatureText.toUtf8());
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

template <typename Work, typename Done>
void UpdateEngine::runOffThread(QThread *&slot, Work work, Done done)
{
    QThread *thread = QThread::create(std::move(work));
    slot = thread;
    thread->setParent(this);
    connect(thread, &QThread::finished, this, [this, &slot, thread, done]() {
        thread->deleteLater();
        if (slot != thread)
            return; // a cancel or a newer run took the slot
        slot = nullptr;
        if (!cancelled)
            done();
    });
    thread->start();
}

// The download stage.

void UpdateEngine::startDownload()
{
    if (isRunning) {
        qDebug() << "已经在运行中，忽略重复启动";
        return;
    }
    if (recoveryFailed) {
        fail(Outcome::Critical);
        return;
    }
    isRunning = true;
    cancelled = false;
    // The walk over the installation grows with it: off the GUI thread, the
    // transfer begins once it is done.
    const std::string dir = platformPath(appDir);
    auto total = std::make_shared<qint64>(0);
    runOffThread(
        sizeThread, [total, dir]() { *total = platform::allocatedBytes(dir, InstallationBackup::kMarker); },
        [this, total]() { beginTransfer(*total); });
}

void UpdateEngine::beginTransfer(qint64 installationBytes)
{
    if (!checkDiskSpace(installationBytes)) {
        isRunning = false;
        fail(Outcome::DiskSpace);
        return;
    }
    emit statusChanged(QStringLiteral("Contacting server..."));

    // A cancel or a failed installation removed the work directory; a retry needs it back.
    if (tempDirRemoved) {
        tempDirRemoved = false;
        createTempDir();
    }
    receivedBytes = 0;
    downloadPacer = ProgressPacer();
    package.close();
    zipPath = tempDir.isEmpty() ? QString() : tempDir + QStringLiteral("/update.zip");
    // What an earlier try or run fetched is resumed where it stopped.
    if (zipPath.isEmpty() || !download.openCache(QString::fromStdString(platform::dataRoot()), partialFile)) {
        qDebug() << "无法打开文件写入";
        fail(Outcome::SaveFailed);
        isRunning = false;
        return;
    }
    QVector<int> pauses;
    for (int i = 0; i < timings.retries; ++i)
        pauses << (timings.retryPause << i);
    download.start(&partialFile, timings.transferTimeout, pauses);
}

void UpdateEngine::checkWorkDirSpace(qint64 length)
{
    // The package goes to the work directory, maybe on another volume.
    const qint64 available = availableBytes(tempDir);
    if (length <= 0 || available < 0 || available >= length)
        return;
    qDebug() << "工作目录空间不足 - 需要:" << length << "可用:" << available;
    download.stop();
    discardPartialFile();
    isRunning = false;
    fail(Outcome::DiskSpace);
}

void UpdateEngine::discardPartialFile()
{
    // Kept in the cache: Retry, or the next run, goes on from there.
    if (partialFile.isOpen())
        partialFile.close();
}

void UpdateEngine::fail(Outcome outcome, const QString &detail)
{
    emit errorOccurred(outcomes::message(outcome, detail), outcome);
}

void UpdateEngine::failIntegrity()
{
    fail(Outcome::Integrity);
    isRunning = false;
}

void UpdateEngine::failDownloadSave()
{
    qDebug() << "无法打开文件写入";
    discardPartialFile();
    download.cache.remove(); // a write that failed leaves nothing worth resuming
    fail(Outcome::SaveFailed);
    isRunning = false;
}

void UpdateEngine::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Shared by every download of the process.
    static bool firstProgressLogged = false;
    static int lastProgressPercent = -1;

    if (cancelled)
        return; // that download has ended
    if (!firstProgressLogged) {
        firstProgressLogged = true;
        qDebug() << "第一次下载进度回调";
    }
    if (bytesTotal <= 0) {
        if (downloadPacer.due(false))
            emit progressChanged(0, QStringLiteral("Download..."));
        return;
    }
    int percent = static_cast<int>((bytesReceived * 70) / bytesTotal);
    percent = qBound(0, percent, 70);
    if (percent == lastProgressPercent)
        return;
    lastProgressPercent = percent;
    qDebug() << "下载进度:" << percent << "%";
    // The first and the last percent always reach the window, those between
    // no more often than the pacer lets through.
    if (downloadPacer.due(percent == 70))
        emit progressChanged(percent, QStringLiteral("Download: %1%").arg(percent));
}

void UpdateEngine::onDownloadEnded(int outcome, QString errorText, qint64 received, QByteArray sha256)
{
    if (cancelled)
        return;
    download.stop();
    receivedBytes = received;
    if (outcome == PackageTransfer::NetworkFailed) {
        qDebug() << "下载错误:" << errorText;
        discardPartialFile();
        isRunning = false;
        fail(Outcome::DownloadFailed, errorText);
        return;
    }
    qDebug() << "onDownloadFinished 被调用";
    qDebug() << "下载完成，数据大小:" << receivedBytes << "字节";
    if (outcome != PackageTransfer::Completed) {
        failDownloadSave();
        return;
    }
    // Never renamed or reopened: checked and unpacked through this open file.
    if (!partialFile.flush()) {
        failDownloadSave();
        return;
    }
    zipPath = partialFile.fileName();
    download.cache.forgetValidator(); // complete: nothing to resume, the clean-up removes it

    const QFileInfo saved(zipPath);
    qDebug() << "文件保存到:" << zipPath << "大小:" << saved.size();
    qDebug() << "文件信息 - 存在:" << saved.exists() << "大小:" << saved.size();

    emit statusChanged(QStringLiteral("Checking file integrity..."));
    if (!download.received(zipPath, partialFile.size(), sha256)) {
        failIntegrity();
        return;
    }
    download.fetchSignature(timings.transferTimeout, [this](bool ok, const QString &error) {
        if (cancelled)
            return;
        if (!ok) {
            qDebug() << "文件验证失败: 无法获取签名" << error;
            failIntegrity();
            return;
        }
        checkPackageInBackground();
    });
}

// The package's check, off the GUI thread, before anything is stopped.

void UpdateEngine::checkPackageInBackground()
{
    struct Result
    {
        bool ok = false;
        QString reason;
        DeltaApply::Outcome delta = DeltaApply::Ready;
    };
    auto result = std::make_shared<Result>();
    const QString mainName = QFileInfo(appPath).fileName();
    // Kept open until the unpack, which reads the same file.
    if (!package.isOpen() && !package.open(zipPath)) {
        qDebug() << "文件验证失败: 无法打开" << zipPath;
        failIntegrity();
        return;
    }
    const SignatureCheck &signature = download.signature;
    IniFile config;
    const QString installed = signature.required() && config.load(configPath)
                                  ? config.value(QStringLiteral("App"), QStringLiteral("Version"))
                                  : QString();
    // What no delta may delete: without them the product never starts again.
    QStringList kept{mainName, QLatin1String(product::kDaemonPath), QStringLiteral("config.ini"),
                     QStringLiteral("update-keys.pub")};
    // Nor the updater, nor its keys: without them nothing needs a signature.
    for (const QString &own : {QCoreApplication::applicationFilePath(),
                               QCoreApplication::applicationDirPath() + QStringLiteral("/update-keys.pub")}) {
        const QString rel = QDir(appDir).relativeFilePath(own);
        if (!rel.startsWith(QLatin1String("../")) && !QDir::isAbsolutePath(rel))
            kept << rel;
    }
    // The signature first: nothing of an unsigned package is even unpacked in memory.
    auto work = [result, mainName, installed, kept, &signature, this]() {
        result->ok = (!signature.required() || signature.verify(package.storage(), newVersion, installed, &result->reason))
                     && package.check(mainName, &result->reason, &cancelled);
        // A delta is rebuilt and checked now, before anything is stopped.
        deltaApply.clear();
        droppedPaths.clear();
        if (result->ok && DeltaApply::isDelta(package)) {
            result->delta = deltaApply.prepare(package, appDir, tempDir, &result->reason, kept);
            result->ok = result->delta == DeltaApply::Ready;
        } else if (result->ok) { // a delta lists what it deletes itself
            droppedPaths = droppedFiles(package, appDir, kept);
        }
    };
    runOffThread(checkThread, work, [this, result]() {
        if (result->delta == DeltaApply::OldFilesDiffer && !download.fullUrl.isEmpty()) {
            package.close(); // Windows removes no file that is open
            download.fallBackToFull(result->reason);
            beginTransfer(installedBytes);
            if (isRunning) // a larger download starts the bar again
                emit statusChanged(QStringLiteral("Downloading the full update..."));
            return;
        }
        if (!result->ok) {
            qDebug() << "文件验证失败:" << result->reason;
            failIntegrity();
            return;
        }
        if (!enoughSpaceFor(package.contents(), installedBytes)) {
            fail(Outcome::DiskSpace);
            isRunning = false;
            return;
        }
        qDebug() << "文件验证成功";
        emit progressChanged(70, QStringLiteral("Download finished"));
        emit readyToInstall();
    });
}

// The install stage.

void UpdateEngine::startInstall()
{
    qDebug() << "=== 开始执行安装（启动工作线程）===";
    if (installThread)
        installThread->wait();
    runOffThread(installThread, [this]() {
        qDebug() << "=== 开始执行安装（工作线程）===";
        InstallDriver driver(appPath, timings, backup, [this](int p, const QString &m) { emitInstallProgress(p, m); });
        const Outcome outcome = driver.run({[this]() { return createBackup(); }, [this]() { return extractPackage(); },
                                            [this]() { return updateConfigFile(); }, [this]() { cleanupTempDir(); }});
        // Exactly one final signal per run; isRunning is cleared right before it.
        if (outcome == Outcome::Critical)
            keepTempDir = true; // left for manual recovery, with the backup
        isRunning = false;
        if (outcome == Outcome::Installed)
            emit updateFinished(true, outcomes::message(outcome));
        else
            fail(outcome);
    }, []() {});
}

bool UpdateEngine::installing() const
{
    return installThread && installThread->isRunning();
}

void UpdateEngine::waitForInstall()
{
    if (installThread)
        installThread->wait();
}

bool UpdateEngine::createBackup()
{
    const QString mainName = QFileInfo(appPath).fileName();
    return backup.create(
        [this, &mainName](QStringList *paths) {
            if (!packageReady(package, zipPath, mainName))
                return false;
            if (deltaApply.prepared())
                deltaApply.forEachPath([paths](const QString &rel) { *paths << rel; });
            else
                *paths = package.contents().files.keys() + droppedPaths;
            // The version it records goes back with the files it names.
            *paths << QStringLiteral("config.ini");
            return true;
        },
        [this](int p, const QString &m) { emitInstallProgress(p, m); });
}

bool UpdateEngine::restoreBackup()
{
    return backup.restore([this](int p, const QString &m) { emitInstallProgress(p, m); });
}

bool UpdateEngine::extractPackage()
{
    return ::extractPackage(package, deltaApply, zipPath, appDir, QFileInfo(appPath).fileName(),
                            [this](int step) { emitInstallProgress(step, QStringLiteral("Extracting files...")); },
                            &shippedConfig, droppedPaths);
}

bool UpdateEngine::updateConfigFile()
{
    return ::updateConfigFile(configPath, newVersion, shippedConfig);
}

// Ending a run.

void UpdateEngine::cancel()
{
    qDebug() << "取消更新操作";
    cancelled = true;

    download.stop();
    if (checkThread) {
        checkThread->wait(); // it stops at the next block, seeing cancelled
        checkThread = nullptr;
    }
    discardPartialFile(); // the package's own file: only once nothing reads it
    if (sizeThread) {
        sizeThread->wait();
        sizeThread = nullptr;
    }

    if (installThread) {
        if (!installThread->wait(timings.cancelThreadWait)) {
            // The pipeline is still working on the installation: it must keep
            // its thread and its files. It clears isRunning and reports its
            // outcome itself.
            qWarning() << "安装仍在进行，取消将在安装结束后生效";
            return;
        }
        installThread = nullptr;
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
    if (!zipPath.isEmpty() && zipPath == download.cache.partialPath())
        download.cache.remove(); // the downloaded package, left where it was written
    tempDirRemoved = true;
}
