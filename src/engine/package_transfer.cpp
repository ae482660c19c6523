#include "engine/package_transfer.h"

#include "engine/signature.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

const qint64 kReadBufferSize = 2 * 1024 * 1024;
const int kWriteChunk = 1024 * 1024;
const qint64 kUnknownSizeReportMs = 40;

} // namespace

PackageTransfer::PackageTransfer(QFile *file, bool hashing, SignatureCheck *prehash)
    : file(file)
    , hashing(hashing)
    , prehash(prehash)
{
}

void PackageTransfer::start(const QString &url, int transferTimeoutMs)
{
    manager = new QNetworkAccessManager(this);
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    // What "follow redirects" means in both Qt 5.15 and Qt 6.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // A stalled or silent server fails the download instead of hanging it.
    request.setTransferTimeout(transferTimeoutMs);
    reply = manager->get(request);
    // Back-pressure: the network layer stops reading once this much waits
    // unwritten, so memory stays flat whatever the package size.
    reply->setReadBufferSize(kReadBufferSize);
    sinceReport.start();
    connect(reply, &QNetworkReply::metaDataChanged, this, [this]() {
        emit lengthKnown(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    connect(reply, &QNetworkReply::readyRead, this, [this]() {
        // Disk full or similar: stop instead of fetching the rest in vain.
        if (!writeAvailable())
            end(SaveFailed, QString());
    });
    connect(reply, &QNetworkReply::downloadProgress, this, &PackageTransfer::onProgress);
    connect(reply, &QNetworkReply::finished, this, &PackageTransfer::onFinished);
}

bool PackageTransfer::writeAvailable()
{
    // One reused buffer: no fresh allocation for every piece that arrives.
    static thread_local QByteArray buffer(kWriteChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 n = reply->read(buffer.data(), buffer.size());
        if (n <= 0)
            return true; // read errors arrive as the reply's error
        if (file->write(buffer.constData(), n) != n)
            return false;
        // Hashed as it arrives: no second pass over the package.
        if (hashing)
            hash.addData(QByteArray::fromRawData(buffer.constData(), int(n)));
        if (prehash)
            prehash->addPackageData(buffer.constData(), n);
        written += n;
    }
}

void PackageTransfer::onProgress(qint64 received, qint64 total)
{
    // The window shows whole percents: a report per thousandth is plenty.
    if (total > 0) {
        const qint64 permille = received * 1000 / total;
        if (permille == reportedPermille)
            return;
        reportedPermille = permille;
    } else if (sinceReport.elapsed() < kUnknownSizeReportMs) {
        return;
    }
    sinceReport.restart();
    emit progress(received, total);
}

void PackageTransfer::onFinished()
{
    if (reply->error() != QNetworkReply::NoError) {
        end(NetworkFailed, reply->errorString());
        return;
    }
    end(writeAvailable() && file->flush() ? Completed : SaveFailed, QString());
}

void PackageTransfer::end(Outcome outcome, const QString &errorText)
{
    QNetworkReply *done = reply;
    abort();
    if (done)
        emit ended(outcome, errorText, written, hashing ? hash.result().toHex() : QByteArray());
}

void PackageTransfer::abort()
{
    if (!reply)
        return;
    // Disconnected first: the abort must not report anything.
    QNetworkReply *r = reply;
    reply = nullptr;
    disconnect(r, nullptr, this, nullptr);
    r->abort();
    r->deleteLater();
}
