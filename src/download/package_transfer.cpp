#include "download/package_transfer.h"

#include "download/signature.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QHostAddress>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslError>
#include <QTimer>
#include <QUrl>

namespace {

const qint64 kReadBufferSize = 2 * 1024 * 1024;
const int kWriteChunk = 1024 * 1024;
const qint64 kUnknownSizeReportMs = 40;

// The proxy the transfer goes through ("host:port"); empty when none. Qt
// never proxies a loopback address.
QString proxyFor(const QString &url)
{
    const QUrl u(url, QUrl::TolerantMode);
    if (u.host() == QLatin1String("localhost") || QHostAddress(u.host()).isLoopback())
        return QString();
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(u));
    if (proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy)
        return QString();
    return proxies.first().hostName() + QLatin1Char(':') + QString::number(proxies.first().port());
}

// How long a 503 or 429 asks to wait (Retry-After: seconds or an HTTP date),
// in ms; -1 when it does not say.
qint64 retryAfterMs(const QNetworkReply *reply)
{
    const QByteArray value = reply->rawHeader("Retry-After").trimmed();
    bool number; // set by toLongLong
    const qint64 seconds = value.toLongLong(&number);
    if (number)
        return seconds < 0 ? -1 : qMin<qint64>(seconds, qint64(1) << 31) * 1000;
    QString date = QString::fromLatin1(value); // an HTTP date says GMT, which Qt 6 reads only as +0000
    if (date.endsWith(QLatin1String(" GMT")))
        date = date.chopped(4) + QLatin1String(" +0000");
    const QDateTime at = QDateTime::fromString(date, Qt::RFC2822Date);
    return at.isValid() ? qMax<qint64>(0, QDateTime::currentDateTimeUtc().msecsTo(at)) : -1;
}

} // namespace

PackageTransfer::PackageTransfer(QFile *file, bool hashing, SignatureCheck *prehash, const QVector<int> &retryPauses)
    : file(file)
    , hashing(hashing)
    , prehash(prehash)
    , retryPauses(retryPauses)
{
}

void PackageTransfer::start(const QString &url, int transferTimeoutMs, qint64 offset, const QByteArray &knownValidator)
{
    this->url = url;
    timeoutMs = transferTimeoutMs;
    // The user's proxy settings (on POSIX http_proxy, https_proxy, no_proxy).
    QNetworkProxyFactory::setUseSystemConfiguration(true);
    manager = new QNetworkAccessManager(this);
    validator = knownValidator;
    if (offset <= 0 || validator.isEmpty()) {
        restartFromZero();
    } else {
        // What an earlier run fetched is hashed once more: its hash state is gone.
        file->seek(0);
        for (qint64 done = 0; done < offset;) {
            const QByteArray piece = file->read(qMin<qint64>(kWriteChunk, offset - done));
            if (piece.isEmpty())
                break;
            if (hashing)
                hash->add(piece.constData(), std::size_t(piece.size()));
            if (prehash)
                prehash->addPackageData(piece.constData(), piece.size());
            done += piece.size();
        }
        written = file->pos();
        file->resize(written);
        qDebug() << "从上次中断处继续下载:" << written << "字节";
    }
    request();
}

void PackageTransfer::restartFromZero()
{
    file->seek(0);
    file->resize(0);
    written = 0;
    hash.emplace();
    if (prehash)
        prehash->beginPackage();
}

void PackageTransfer::request()
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    // What "follow redirects" means in both Qt 5.15 and Qt 6.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    // A stalled or silent server breaks the transfer instead of hanging it.
    request.setTransferTimeout(timeoutMs);
    // The real bytes with their length: a compressed ZIP gets no smaller and
    // would hide the length and shift byte ranges.
    request.setRawHeader("Accept-Encoding", "identity");
    requestOffset = written;
    if (written > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(written) + "-");
        request.setRawHeader("If-Range", validator);
    }
    responseChecked = false;
    reply = manager->get(request);
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        for (const QSslError &e : errors)
            certificateProblems << e.errorString();
    });
    // Back-pressure: the network layer stops reading once this much waits
    // unwritten, so memory stays flat whatever the package size.
    reply->setReadBufferSize(kReadBufferSize);
    sinceReport.start();
    connect(reply, &QNetworkReply::readyRead, this, [this]() {
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() / 100 != 2) {
            reply->readAll(); // an error page is not the package
            return;
        }
        if (!acceptResponse())
            misranged();
        // Disk full or similar: stop instead of fetching the rest in vain.
        else if (!writeAvailable())
            end(SaveFailed, QString());
    });
    connect(reply, &QNetworkReply::downloadProgress, this, &PackageTransfer::onProgress);
    connect(reply, &QNetworkReply::finished, this, &PackageTransfer::onFinished);
}

// Decides, once per response, whether its body continues the file or is the
// whole file; false for a range other than the one asked for.
bool PackageTransfer::acceptResponse()
{
    if (responseChecked)
        return true;
    responseChecked = true;
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 206) {
        const QByteArray range = reply->rawHeader("Content-Range");
        if (!range.startsWith("bytes " + QByteArray::number(written) + "-"))
            return false;
        expectedTotal = range.mid(range.indexOf('/') + 1).toLongLong();
        emit lengthKnown(expectedTotal);
        return true;
    }
    if (written > 0) // the server ignored the range, or the file changed
        qDebug() << "服务器未续传，从头下载";
    restartFromZero();
    requestOffset = 0;
    validator = reply->rawHeader("ETag");
    if (validator.isEmpty())
        validator = reply->rawHeader("Last-Modified");
    emit validatorKnown(validator);
    expectedTotal = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    emit lengthKnown(expectedTotal);
    return true;
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
            hash->add(buffer.constData(), std::size_t(n));
        if (prehash)
            prehash->addPackageData(buffer.constData(), n);
        written += n;
    }
}

void PackageTransfer::onProgress(qint64 received, qint64 total)
{
    if (reply && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() / 100 != 2)
        return; // an error page's bytes are no progress
    // A resumed transfer goes on from where it was.
    if (total > 0) {
        received += requestOffset;
        total += requestOffset;
    }
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
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const bool body = status / 100 == 2;
    if (body && !acceptResponse()) {
        misranged();
        return;
    }
    if (body && !writeAvailable()) {
        end(SaveFailed, QString());
        return;
    }
    // A connection closed before the announced length is a cut body, even
    // where the network layer calls it complete.
    const bool cut = reply->error() == QNetworkReply::NoError && expectedTotal > 0 && written < expectedTotal;
    if (reply->error() == QNetworkReply::NoError && !cut) {
        end(file->flush() ? Completed : SaveFailed, QString());
        return;
    }
    QString why = cut ? QStringLiteral("数据不完整: %1/%2").arg(written).arg(expectedTotal) : reply->errorString();
    // A certificate nobody trusts, or no TLS at all: another try cannot mend it.
    const bool tls = reply->error() == QNetworkReply::SslHandshakeFailedError;
    if (tls && !certificateProblems.isEmpty() && !why.contains(certificateProblems.first())) // Qt 6 names them itself
        why += QStringLiteral(" (%1)").arg(certificateProblems.join(QStringLiteral("; ")));
    // No answer from any server: the proxy, when there is one, is what failed
    // (Qt reports a refused proxy as a plain refused connection).
    const QString proxy = status == 0 && !cut && !tls ? proxyFor(url) : QString();
    if (!proxy.isEmpty())
        why = QStringLiteral("代理服务器 %1: %2").arg(proxy, why);
    if (tls)
        qDebug() << "证书或TLS错误，不重试:" << why;
    // A busy server says when to come back: waited for when the retries left
    // would have waited as long in all, else a failure now.
    if ((status == 503 || status == 429) && tries < retryPauses.size()) {
        const qint64 asked = retryAfterMs(reply);
        qint64 budget = 0;
        for (int i = tries; i < retryPauses.size(); ++i)
            budget += retryPauses.at(i);
        if (asked > budget) {
            end(NetworkFailed, why + QStringLiteral(" (服务器要求 %1 秒后再试，超出重试时间)").arg((asked + 999) / 1000));
            return;
        }
        tryAgain(why, qMax<qint64>(asked, retryPauses.at(tries)));
        return;
    }
    // A range the server cannot serve: once more from the start.
    const bool unsatisfiable = status == 416 && !rangeRefused;
    // An answer of the server (404, 500...) is final; a broken connection,
    // a time-out or a cut body is tried again.
    if ((status >= 400 && !unsatisfiable) || tls || tries >= retryPauses.size()) {
        end(NetworkFailed, why);
        return;
    }
    rangeRefused = rangeRefused || unsatisfiable;
    // Without a validator the bytes so far could belong to another file.
    if (unsatisfiable || validator.isEmpty())
        restartFromZero();
    tryAgain(why, retryPauses.at(tries));
}

void PackageTransfer::misranged()
{
    // Other bytes than the ones asked for: nothing of them fits. Once more
    // from the start, or a server that does this would never be done.
    if (tries >= retryPauses.size()) {
        end(NetworkFailed, QStringLiteral("续传范围不符"));
        return;
    }
    restartFromZero();
    tryAgain(QStringLiteral("续传范围不符"), retryPauses.at(tries));
}

void PackageTransfer::tryAgain(const QString &why, qint64 pause)
{
    QNetworkReply *r = reply;
    reply = nullptr;
    r->disconnect(this);
    r->abort();
    r->deleteLater();
    ++tries;
    qDebug() << "下载中断:" << why << "，" << pause << "毫秒后第" << tries << "次重试，从" << written << "字节继续";
    emit retrying(tries, retryPauses.size());
    QTimer::singleShot(int(pause), this, [this]() {
        if (manager)
            request();
    });
}

void PackageTransfer::end(Outcome outcome, const QString &errorText)
{
    QNetworkReply *done = reply;
    abort();
    if (done)
        emit ended(outcome, errorText, written, hashing ? QByteArray::fromStdString(hash->hex()) : QByteArray());
}

void PackageTransfer::abort()
{
    manager = nullptr; // no further try
    if (!reply)
        return;
    // Disconnected first: the abort must not report anything.
    QNetworkReply *r = reply;
    reply = nullptr;
    disconnect(r, nullptr, this, nullptr);
    r->abort();
    r->deleteLater();
}
