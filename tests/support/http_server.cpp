#include "http_server.h"

#include <QTcpSocket>
#include <QTimer>

namespace {

// Sends up to n more body bytes; false once the answer is over.
bool sendSome(QTcpSocket *socket, const HttpRoute &r, qint64 &sent, qint64 n)
{
    n = qMin<qint64>(n, r.body.size() - sent);
    socket->write(r.body.mid(int(sent), int(n)));
    sent += n;
    if (sent < r.body.size())
        return true;
    socket->disconnectFromHost();
    return false;
}

void answer(QTcpSocket *socket, const HttpRoute &r)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + " Status\r\nConnection: close\r\n";
    if (!r.location.isEmpty())
        head += "Location: " + r.location + "\r\n";
    if (r.contentLength)
        head += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
    socket->write(head + "\r\n");
    auto *sent = new qint64(0);
    QObject::connect(socket, &QObject::destroyed, [sent]() { delete sent; });
    if (r.dripBytes <= 0) {
        sendSome(socket, r, *sent, r.body.size());
        return;
    }
    auto *timer = new QTimer(socket);
    QObject::connect(timer, &QTimer::timeout, socket, [=]() {
        if (!sendSome(socket, r, *sent, r.dripBytes))
            timer->stop();
    });
    timer->start(r.dripIntervalMs);
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
                const QString path = QString::fromLatin1(socket->readLine().split(' ').value(1));
                ++requests[path];
                answer(socket, routes.value(path, HttpRoute(404)));
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
