#include "http_server.h"

#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrl>

namespace {

// Sends up to n more body bytes; false once the answer is over.
bool sendSome(QTcpSocket *socket, const QByteArray &body, qint64 &sent, qint64 n)
{
    n = qMin<qint64>(n, body.size() - sent);
    socket->write(body.mid(int(sent), int(n)));
    sent += n;
    if (sent < body.size())
        return true;
    socket->disconnectFromHost();
    return false;
}

QByteArray header(const QByteArray &request, const QByteArray &name)
{
    for (const QByteArray &line : request.split('\n'))
        if (line.toLower().startsWith(name.toLower() + ":"))
            return line.mid(name.size() + 1).trimmed();
    return QByteArray();
}

} // namespace

HttpServer::HttpServer()
{
    server.listen(QHostAddress::LocalHost);
    connect(&server, &QTcpServer::newConnection, this, [this]() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket]() {
                if (socket->property("answered").toBool() || !socket->peek(65536).contains("\r\n\r\n"))
                    return;
                socket->setProperty("answered", true);
                const QByteArray request = socket->readAll();
                const QUrl target(QString::fromLatin1(request.split(' ').value(1))); // a proxy sends the whole URL
                const QString path = target.path();
                const int n = ++requests[path];
                proxied[path] = target.isRelative() == false || !header(request, "Via").isEmpty();
                HttpRoute r = routes.value(path, HttpRoute(404));
                if (n > 1 && !r.changedBody.isEmpty()) {
                    r.body = r.changedBody;
                    r.etag += "-changed";
                }
                QByteArray body = r.body, head = " Status\r\n";
                const QByteArray range = header(request, "Range");
                ranged[path] = ranged[path] || !range.isEmpty();
                int status = r.status;
                // Ranges as common servers serve them: always, unless If-Range names another version.
                const QByteArray ifRange = header(request, "If-Range");
                if (range.startsWith("bytes=") && !r.ignoresRange && (ifRange.isEmpty() || ifRange == r.etag)) {
                    const qint64 from = range.mid(6).split('-').value(0).toLongLong() + r.rangeShift;
                    status = from < body.size() ? 206 : 416;
                    const qint64 to = r.shortRange && n == 2 ? from + r.shortRange : body.size();
                    head += "Content-Range: bytes " + (status == 206 ? QByteArray::number(from) + "-" + QByteArray::number(to - 1) : "*")
                            + "/" + QByteArray::number(r.body.size()) + "\r\n";
                    body = status == 206 ? body.mid(int(from), int(to - from)) : QByteArray();
                }
                if (r.compresses && header(request, "Accept-Encoding").contains("deflate")) {
                    body = qCompress(body).mid(4); // a zlib stream, as "deflate" means
                    head += "Content-Encoding: deflate\r\n";
                    r.contentLength = false;
                }
                if (n <= r.busy) {
                    status = r.busyStatus;
                    body = QByteArray(20000, 'e');
                    r.dripBytes = 5000, r.dripIntervalMs = 50; // its progress arrives well before its end
                    head += r.retryAfter.isEmpty() ? QByteArray() : "Retry-After: " + r.retryAfter + "\r\n";
                }
                if (!r.etag.isEmpty())
                    head += "ETag: " + r.etag + "\r\n";
                if (!r.location.isEmpty())
                    head += "Location: " + r.location + "\r\n";
                if (r.contentLength)
                    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
                socket->write("HTTP/1.1 " + QByteArray::number(status) + head + "Connection: close\r\n\r\n");
                if (n <= r.cuts)
                    body = body.left(int(r.cutAfter));
                served[path] += body.size();
                auto *sent = new qint64(0);
                connect(socket, &QObject::destroyed, [sent]() { delete sent; });
                if (r.dripBytes <= 0) {
                    if (sendSome(socket, body, *sent, body.size()))
                        socket->disconnectFromHost(); // cut short
                    return;
                }
                auto *timer = new QTimer(socket);
                connect(timer, &QTimer::timeout, socket, [=]() {
                    if (!sendSome(socket, body, *sent, r.dripBytes))
                        timer->stop();
                });
                timer->start(r.dripIntervalMs);
            });
        }
    });
}

QString HttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
}

QByteArray HttpServer::pattern(qint64 size)
{
    QByteArray out(int(size), '\0');
    for (int i = 0; i < out.size(); ++i)
        out[i] = char('a' + (i * 7 + i / 4096) % 26);
    return out;
}

bool HttpServer::listening(quint16 port, int ms)
{
    return QTest::qWaitFor([port] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(200);
    }, ms);
}
