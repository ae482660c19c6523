#include "engine/update_engine.h"

#include "engine/ini_file.h"
#include "engine/package_transfer.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>

namespace {

const qint64 kMinimumPackageSize = 1024;
const char kBackupMarker[] = "_update_backup_";

} // namespace

void UpdateEngine::startDownload()
{
    if (isRunning) {
        qDebug() << "已经在运行中，忽略重复启动";
        return;
    }
    if (recoveryFailed) {
        emit errorOccurred(QStringLiteral("安装失败且无法恢复，需要重新安装"));
        return;
    }
    isRunning = true;
    cancelled = false;
    // The walk over the installation grows with it: off the GUI thread, the
    // transfer begins once it is done.
    const std::string dir = appDir.toStdString();
    auto total = std::make_shared<qint64>(0);
    runOffThread(
        sizeThread, [total, dir]() { *total = platform::allocatedBytes(dir, kBackupMarker); },
        [this, total]() { beginTransfer(*total); });
}

template <typename Work, typename Done>
void UpdateEngine::runOffThread(QThread *&slot, Work work, Done done)
{
    QThread *thread = QThread::create(std::move(work));
    slot = thread;
    thread->setParent(this);
    connect(thread, &QThread::finished, this, [this, &slot, thread, done]() {
        thread->deleteLater();
        if (slot != thread || cancelled)
            return; // cancelled meanwhile
        slot = nullptr;
        done();
    });
    thread->start();
}

void UpdateEngine::beginTransfer(qint64 installationBytes)
{
    if (!checkDiskSpace(installationBytes)) {
        isRunning = false;
        emit errorOccurred(QStringLiteral("磁盘空间不足，无法完成更新"));
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
    const bool cached = !zipPath.isEmpty() && cache.open(QString::fromStdString(platform::dataRoot()), downloadUrl, expectedSha256);
    partialFile.setFileName(cached ? cache.partialPath() : QString());
    if (!cached || !partialFile.open(QIODevice::ReadWrite)) {
        qDebug() << "无法打开文件写入";
        emit errorOccurred(QStringLiteral("无法保存临时下载文件"));
        isRunning = false;
        return;
    }

    if (!downloadThread) {
        // One thread for every transfer of the engine's life, ended only with
        // it: ending the thread a network manager ran on corrupted the heap
        // under Wine.
        downloadThread = new QThread(this);
        downloadThread->start();
    }
    signature.beginPackage();
    QVector<int> pauses;
    for (int i = 0; i < timings.retries; ++i)
        pauses << (timings.retryPause << i);
    QByteArray validator;
    const qint64 resumeAt = cache.resumableBytes(&validator);
    transfer = new PackageTransfer(&partialFile, !expectedSha256.isEmpty(), signature.required() ? &signature : nullptr, pauses);
    transfer->moveToThread(downloadThread);
    connect(transfer, &PackageTransfer::lengthKnown, this, &UpdateEngine::checkWorkDirSpace);
    connect(transfer, &PackageTransfer::progress, this, &UpdateEngine::onDownloadProgress);
    connect(transfer, &PackageTransfer::ended, this, &UpdateEngine::onDownloadEnded);
    connect(transfer, &PackageTransfer::validatorKnown, this, [this](const QByteArray &v) { cache.saveValidator(v); });
    QMetaObject::invokeMethod(transfer, [t = transfer, url = downloadUrl, timeout = timings.transferTimeout, resumeAt,
                                         validator]() {
        t->start(url, timeout, resumeAt, validator);
    }, Qt::QueuedConnection);
}

void UpdateEngine::checkWorkDirSpace(qint64 length)
{
    // The package goes to the work directory, maybe on another volume.
    if (!transfer || sender() != transfer)
        return;
    const qint64 available = availableBytes(tempDir);
    if (length <= 0 || available < 0 || available >= length)
        return;
    qDebug() << "工作目录空间不足 - 需要:" << length << "可用:" << available;
    stopTransfer();
    discardPartialFile();
    isRunning = false;
    emit errorOccurred(QStringLiteral("磁盘空间不足，无法完成更新"));
}

void UpdateEngine::stopTransfer()
{
    if (!transfer)
        return;
    // Signals it sent before this are ignored: they come from no current
    // transfer. It goes on its own thread, with its network manager.
    PackageTransfer *ended = transfer;
    transfer = nullptr;
    QMetaObject::invokeMethod(ended, [ended]() {
        ended->abort();
        delete ended;
    }, Qt::BlockingQueuedConnection);
}

void UpdateEngine::discardPartialFile()
{
    // Kept in the cache: Retry, or the next run, goes on from there.
    if (partialFile.isOpen())
        partialFile.close();
}

void UpdateEngine::failIntegrity()
{
    emit errorOccurred(QStringLiteral("文件完整性校验失败"));
    isRunning = false;
}

void UpdateEngine::failDownloadSave()
{
    qDebug() << "无法打开文件写入";
    discardPartialFile();
    cache.remove(); // a write that failed leaves nothing worth resuming
    emit errorOccurred(QStringLiteral("无法保存临时下载文件"));
    isRunning = false;
}

void UpdateEngine::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Shared by every download of the process.
    static bool firstProgressLogged = false;
    static int lastProgressPercent = -1;

    if (cancelled || !transfer || sender() != transfer)
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
    if (cancelled || !transfer || sender() != transfer)
        return;
    stopTransfer();
    receivedBytes = received;
    if (outcome == PackageTransfer::NetworkFailed) {
        qDebug() << "下载错误:" << errorText;
        discardPartialFile();
        isRunning = false;
        emit errorOccurred(QStringLiteral("下载失败: ") + errorText);
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
    cache.forgetValidator(); // complete: nothing to resume, the clean-up removes it

    const QFileInfo saved(zipPath);
    qDebug() << "文件保存到:" << zipPath << "大小:" << saved.size();
    qDebug() << "文件信息 - 存在:" << saved.exists() << "大小:" << saved.size();

    emit statusChanged(QStringLiteral("Checking file integrity..."));
    const qint64 size = partialFile.size();
    const bool ok = size > kMinimumPackageSize;
    qDebug() << "文件校验:" << zipPath << "大小:" << size << "结果:" << ok;
    if (!ok) {
        qDebug() << "文件验证失败";
        failIntegrity();
        return;
    }
    if (!expectedSha256.isEmpty() && sha256 != expectedSha256.toLatin1()) {
        qDebug() << "文件验证失败: SHA-256 不匹配" << sha256;
        failIntegrity();
        return;
    }
    fetchSignatureThenCheck();
}

void UpdateEngine::setSignatureInputs(const QByteArray &keyFile, const QString &signatureText)
{
    QString reason;
    if (!keyFile.isEmpty() && !signature.setKeys(keyFile, &reason))
        qCritical() << "公钥文件格式不正确:" << reason; // refused at start-up already
    signature.setSignature(signatureText.toUtf8());
}

void UpdateEngine::fetchSignatureThenCheck()
{
    if (!signature.required() || !signature.signatureText().isEmpty()) {
        checkPackageInBackground();
        return;
    }
    // Through the same rules as the package: redirects, time-out, http(s) only.
    auto *manager = new QNetworkAccessManager(this);
    QNetworkRequest request(QUrl(downloadUrl + QStringLiteral(".minisig"), QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(timings.transferTimeout);
    QNetworkReply *reply = manager->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, manager, reply]() {
        manager->deleteLater();
        if (cancelled)
            return;
        const QByteArray text = reply->error() == QNetworkReply::NoError ? reply->read(64 * 1024) : QByteArray();
        if (text.isEmpty()) {
            qDebug() << "文件验证失败: 无法获取签名" << reply->errorString();
            failIntegrity();
            return;
        }
        signature.useFetched(text);
        checkPackageInBackground();
    });
}

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
    IniFile config;
    const QString installed = signature.required() && config.load(configPath)
                                  ? config.value(QStringLiteral("App"), QStringLiteral("Version"))
                                  : QString();
    // What no delta may delete: without them the product never starts again.
    QStringList kept{mainName, QStringLiteral("KarvoDeskServer/KarvoDeskDaemon.exe"), QStringLiteral("config.ini")};
    const QString updater = QDir(appDir).relativeFilePath(QCoreApplication::applicationFilePath());
    if (!updater.startsWith(QLatin1String("../")) && !QDir::isAbsolutePath(updater))
        kept << updater;
    // The signature first: nothing of an unsigned package is even unpacked in memory.
    auto work = [result, mainName, installed, kept, this]() {
        result->ok = (!signature.required() || signature.verify(package.storage(), newVersion, installed, &result->reason))
                     && package.check(mainName, &result->reason, &cancelled);
        // A delta is rebuilt and checked now, before anything is stopped.
        deltaApply.clear();
        if (result->ok && DeltaApply::isDelta(package)) {
            result->delta = deltaApply.prepare(package, appDir, tempDir, &result->reason, kept);
            result->ok = result->delta == DeltaApply::Ready;
        }
    };
    runOffThread(checkThread, work, [this, result]() {
        if (result->delta == DeltaApply::OldFilesDiffer && !fullDownloadUrl.isEmpty()) {
            qDebug() << "差分包不适用:" << result->reason << "，改为下载完整更新包:" << fullDownloadUrl;
            downloadUrl = fullDownloadUrl;
            fullDownloadUrl.clear();
            package.close();
            cache.remove(); // the delta is of no use any more
            beginTransfer(installedBytes);
            return;
        }
        if (!result->ok) {
            qDebug() << "文件验证失败:" << result->reason;
            failIntegrity();
            return;
        }
        if (!enoughSpaceFor(package.contents(), installedBytes)) {
            emit errorOccurred(QStringLiteral("磁盘空间不足，无法完成更新"));
            isRunning = false;
            return;
        }
        qDebug() << "文件验证成功";
        emit progressChanged(70, QStringLiteral("Download finished"));
        emit readyToInstall();
    });
}

