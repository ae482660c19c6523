#include "download/package_download.h"

#include "download/package_transfer.h"

#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>

namespace {

const qint64 kMinimumPackageSize = 1024;

// Every transfer of the process runs on this thread, which is never ended:
// ending a thread that a network manager ran on corrupted the heap on Windows.
QThread *transferThread()
{
    static QThread *const thread = [] {
        auto *t = new QThread;
        t->start();
        return t;
    }();
    return thread;
}

} // namespace

PackageDownload::PackageDownload(QObject *parent) : QObject(parent) {}

PackageDownload::~PackageDownload()
{
    stop();
}

bool PackageDownload::openCache(const QString &dataRoot, QFile &file)
{
    const bool cached = cache.open(dataRoot, url, expectedSha256);
    file.setFileName(cached ? cache.partialPath() : QString());
    return cached && file.open(QIODevice::ReadWrite);
}

void PackageDownload::start(QFile *file, int transferTimeoutMs, const QVector<int> &retryPauses)
{
    stop();
    signature.beginPackage();
    QByteArray validator;
    const qint64 resumeAt = cache.resumableBytes(&validator);
    transfer = new PackageTransfer(file, !expectedSha256.isEmpty(), signature.required() ? &signature : nullptr, retryPauses);
    transfer->moveToThread(transferThread());
    const quint64 current = ++generation;
    connect(transfer, &PackageTransfer::lengthKnown, this, [this, current](qint64 length) {
        if (current == generation)
            emit lengthKnown(length);
    });
    connect(transfer, &PackageTransfer::progress, this, [this, current](qint64 done, qint64 total) {
        if (current == generation)
            emit progress(done, total);
    });
    connect(transfer, &PackageTransfer::ended, this,
            [this, current](int outcome, const QString &error, qint64 done, const QByteArray &sha256) {
                if (current == generation)
                    emit ended(outcome, error, done, sha256);
            });
    connect(transfer, &PackageTransfer::retrying, this, [this, current](int attempt, int tries) {
        if (current == generation)
            emit retrying(attempt, tries);
    });
    connect(transfer, &PackageTransfer::validatorKnown, this, [this](const QByteArray &v) { cache.saveValidator(v); });
    QMetaObject::invokeMethod(transfer, [t = transfer, url = url, transferTimeoutMs, resumeAt, validator]() {
        t->start(url, transferTimeoutMs, resumeAt, validator);
    }, Qt::QueuedConnection);
}

void PackageDownload::stop()
{
    ++generation;
    for (QNetworkReply *signatureFetch : findChildren<QNetworkReply *>())
        signatureFetch->abort();
    if (!transfer)
        return;
    // It goes on its own thread, with its network manager.
    PackageTransfer *stopped = transfer;
    transfer = nullptr;
    QMetaObject::invokeMethod(stopped, [stopped]() {
        stopped->abort();
        delete stopped;
    }, Qt::BlockingQueuedConnection);
}

bool PackageDownload::received(const QString &path, qint64 size, const QByteArray &sha256) const
{
    const bool ok = size > kMinimumPackageSize;
    qDebug() << "文件校验:" << path << "大小:" << size << "结果:" << ok;
    if (!ok) {
        qDebug() << "文件验证失败";
        return false;
    }
    if (!expectedSha256.isEmpty() && sha256 != expectedSha256.toLatin1()) {
        qDebug() << "文件验证失败: SHA-256 不匹配" << sha256 << "应为:" << expectedSha256 << "大小:" << size;
        return false;
    }
    return true;
}

void PackageDownload::fetchSignature(int timeoutMs, const std::function<void(bool, const QString &)> &done)
{
    if (!signature.required() || !signature.signatureText().isEmpty()) {
        done(true, QString());
        return;
    }
    // Through the same rules as the package: redirects, time-out, http(s) only.
    auto *manager = new QNetworkAccessManager(this);
    QNetworkRequest request(QUrl(url + QStringLiteral(".minisig"), QUrl::TolerantMode));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply *reply = manager->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, manager, reply, done]() {
        manager->deleteLater();
        const QByteArray text = reply->error() == QNetworkReply::NoError ? reply->read(64 * 1024) : QByteArray();
        if (!text.isEmpty())
            signature.useFetched(text);
        done(!text.isEmpty(), reply->errorString());
    });
}

void PackageDownload::fallBackToFull(const QString &why)
{
    qDebug() << "差分包不适用:" << why << "，改为下载完整更新包:" << fullUrl;
    url = fullUrl;
    expectedSha256 = fullSha256;
    signature.setSignature(fullSignature);
    fullUrl.clear();
    cache.remove(); // the delta is of no use any more
}
