#include "engine/update_engine.h"

#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QThread>
#include <QUrl>

namespace {

const qint64 kMinimumPackageSize = 1024;
const qint64 kReadBufferSize = 2 * 1024 * 1024;
const int kWriteChunk = 1024 * 1024;
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
    sizeThread = QThread::create([total, dir]() { *total = platform::allocatedBytes(dir, kBackupMarker); });
    QThread *thread = sizeThread;
    thread->setParent(this);
    connect(thread, &QThread::finished, this, [this, thread, total]() {
        thread->deleteLater();
        if (sizeThread != thread || cancelled)
            return; // cancelled meanwhile
        sizeThread = nullptr;
        beginTransfer(*total);
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
    packageHash.reset();
    package = PackageContents();
    partialFile.setFileName(zipPath.isEmpty() ? QString() : zipPath + QStringLiteral(".part"));
    if (zipPath.isEmpty() || !partialFile.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        qDebug() << "无法打开文件写入";
        emit errorOccurred(QStringLiteral("无法保存临时下载文件"));
        isRunning = false;
        return;
    }
    QFile::remove(zipPath); // nothing at zipPath until this transfer has completed

    QNetworkRequest request(QUrl(downloadUrl, QUrl::TolerantMode));
    // What "follow redirects" means in both Qt 5.15 and Qt 6.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // A stalled or silent server fails the download instead of hanging it.
    request.setTransferTimeout(timings.transferTimeout);
    currentReply = networkManager->get(request);
    // Back-pressure: the network layer stops reading once this much waits
    // unwritten, so memory stays flat whatever the package size.
    currentReply->setReadBufferSize(kReadBufferSize);

    connect(currentReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::checkWorkDirSpace);
    connect(currentReply, &QNetworkReply::readyRead, this, &UpdateEngine::onDownloadReadyRead);
    connect(currentReply, &QNetworkReply::downloadProgress, this, &UpdateEngine::onDownloadProgress);
    connect(currentReply, &QNetworkReply::finished, this, &UpdateEngine::onDownloadFinished);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    connect(currentReply, SIGNAL(errorOccurred(QNetworkReply::NetworkError)), this,
            SLOT(onDownloadError(QNetworkReply::NetworkError)));
#else
    connect(currentReply, SIGNAL(error(QNetworkReply::NetworkError)), this,
            SLOT(onDownloadError(QNetworkReply::NetworkError)));
#endif
}

void UpdateEngine::checkWorkDirSpace()
{
    // The package goes to the work directory, maybe on another volume.
    if (!currentReply)
        return;
    const qint64 length = currentReply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    const qint64 available = availableBytes(tempDir);
    if (length <= 0 || available < 0 || available >= length)
        return;
    qDebug() << "工作目录空间不足 - 需要:" << length << "可用:" << available;
    abortReply();
    discardPartialFile();
    isRunning = false;
    emit errorOccurred(QStringLiteral("磁盘空间不足，无法完成更新"));
}

void UpdateEngine::onDownloadReadyRead()
{
    if (cancelled || !currentReply)
        return;
    if (writePartialData())
        return;
    // Disk full or similar: stop the transfer instead of fetching the rest in vain.
    abortReply();
    failDownloadSave();
}

void UpdateEngine::abortReply()
{
    // Disconnected first: the abort must not run the error handlers.
    QNetworkReply *reply = currentReply;
    currentReply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}

bool UpdateEngine::writePartialData()
{
    // One reused buffer: no fresh allocation for every piece that arrives.
    static thread_local QByteArray buffer(kWriteChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 n = currentReply->read(buffer.data(), buffer.size());
        if (n <= 0)
            return true; // read errors arrive as the reply's error

        if (!partialFile.isOpen() || partialFile.write(buffer.constData(), n) != n)
            return false;
        // Hashed as it arrives, when a hash is expected: no second pass over the package.
        if (!expectedSha256.isEmpty())
            packageHash.addData(QByteArray::fromRawData(buffer.constData(), int(n)));
        receivedBytes += n;
    }
}

void UpdateEngine::discardPartialFile()
{
    if (partialFile.isOpen())
        partialFile.close();
    if (!partialFile.fileName().isEmpty())
        partialFile.remove();
}

void UpdateEngine::releaseReply()
{
    if (currentReply) {
        currentReply->deleteLater();
        currentReply = nullptr;
    }
}

void UpdateEngine::failDownloadSave()
{
    qDebug() << "无法打开文件写入";
    discardPartialFile();
    emit errorOccurred(QStringLiteral("无法保存临时下载文件"));
    isRunning = false;
}

void UpdateEngine::onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    // Shared by every download of the process.
    static bool firstProgressLogged = false;
    static int lastProgressPercent = -1;

    // Qt reports a last progress after the error; that download has ended.
    if (cancelled || (sender() && sender() != currentReply))
        return;
    if (!firstProgressLogged) {
        firstProgressLogged = true;
        qDebug() << "第一次下载进度回调";
    }
    if (bytesTotal <= 0) {
        if (unknownSizePacer.due(false))
            emit progressChanged(0, QStringLiteral("Download..."));
        return;
    }
    int percent = static_cast<int>((bytesReceived * 70) / bytesTotal);
    percent = qBound(0, percent, 70);
    if (percent == lastProgressPercent)
        return;
    lastProgressPercent = percent;
    qDebug() << "下载进度:" << percent << "%";
    emit progressChanged(percent, QStringLiteral("Download: %1%").arg(percent));
}

void UpdateEngine::onDownloadError(QNetworkReply::NetworkError error)
{
    Q_UNUSED(error);
    if (!cancelled && currentReply) {
        const QString text = currentReply->errorString();
        qDebug() << "下载错误:" << text;
        discardPartialFile();
        isRunning = false;
        emit errorOccurred(QStringLiteral("下载失败: ") + text);
    }
    releaseReply();
}

void UpdateEngine::onDownloadFinished()
{
    qDebug() << "onDownloadFinished 被调用";
    if (cancelled) {
        qDebug() << "下载已取消";
        return;
    }
    if (!currentReply) {
        qDebug() << "currentReply为空";
        return;
    }
    if (currentReply->error() != QNetworkReply::NoError) {
        qDebug() << "下载错误:" << currentReply->errorString();
        discardPartialFile();
        releaseReply();
        return;
    }

    const bool written = writePartialData();
    qDebug() << "下载完成，数据大小:" << receivedBytes << "字节";
    if (!written || !partialFile.flush()) {
        failDownloadSave();
        releaseReply();
        return;
    }
    partialFile.close();
    QFile::remove(zipPath);
    if (!partialFile.rename(zipPath)) {
        failDownloadSave();
        releaseReply();
        return;
    }
    // The package is no partial file any more: a later cancel must not delete it.
    partialFile.setFileName(QString());

    const QFileInfo saved(zipPath);
    qDebug() << "文件保存到:" << zipPath << "大小:" << saved.size();
    qDebug() << "文件信息 - 存在:" << saved.exists() << "大小:" << saved.size();

    emit statusChanged(QStringLiteral("Checking file integrity..."));
    const QFileInfo check(zipPath);
    const qint64 size = check.exists() ? check.size() : 0;
    const bool ok = check.exists() && size > kMinimumPackageSize;
    qDebug() << "文件校验:" << zipPath << "大小:" << size << "结果:" << ok;
    releaseReply();
    if (!ok) {
        qDebug() << "文件验证失败";
        emit errorOccurred(QStringLiteral("文件完整性校验失败"));
        isRunning = false;
        return;
    }
    if (!expectedSha256.isEmpty() && packageHash.result().toHex() != expectedSha256.toLatin1()) {
        qDebug() << "文件验证失败: SHA-256 不匹配" << packageHash.result().toHex();
        emit errorOccurred(QStringLiteral("文件完整性校验失败"));
        isRunning = false;
        return;
    }
    checkPackageInBackground();
}

void UpdateEngine::checkPackageInBackground()
{
    struct Result
    {
        bool ok = false;
        QString reason;
        PackageContents contents;
    };
    auto result = std::make_shared<Result>();
    const QString path = zipPath, mainName = QFileInfo(appPath).fileName();
    checkThread = QThread::create([result, path, mainName, this]() {
        result->ok = checkPackage(path, mainName, &result->contents, &result->reason, &cancelled);
    });
    QThread *thread = checkThread;
    thread->setParent(this);
    connect(thread, &QThread::finished, this, [this, thread, result]() {
        thread->deleteLater();
        if (checkThread != thread || cancelled)
            return; // cancelled meanwhile
        checkThread = nullptr;
        if (!result->ok) {
            qDebug() << "文件验证失败:" << result->reason;
            emit errorOccurred(QStringLiteral("文件完整性校验失败"));
            isRunning = false;
            return;
        }
        package = result->contents;
        if (!enoughSpaceFor(package, installedBytes)) {
            emit errorOccurred(QStringLiteral("磁盘空间不足，无法完成更新"));
            isRunning = false;
            return;
        }
        qDebug() << "文件验证成功";
        emit progressChanged(70, QStringLiteral("Download finished"));
        emit readyToInstall();
    });
    thread->start();
}

