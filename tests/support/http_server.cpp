#include "http_server.h"

#include <QFile>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

const qint64 kChunk = 256 * 1024;

// Sends one answer on one connection, then closes it.
class Exchange : public QObject
{
public:
    Exchange(QTcpSocket *socket, const HttpRoute &route) : QObject(socket), socket(socket), route(route)
    {
        total = route.bodySize >= 0 ? route.bodySize : route.body.size();
        if (!route.bodyFile.isEmpty()) {
            file.reset(new QFile(route.bodyFile));
            file->open(QIODevice::ReadOnly);
            total = file->size();
        }
    }

    void start()
    {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(route.status) + " " + reason() + "\r\n";
        if (!route.location.isEmpty())
            head += "Location: " + route.location + "\r\n";
        head += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
        if (route.contentLength)
            head += "Content-Length: " + QByteArray::number(total) + "\r\n";
        head += "\r\n";
        socket->write(head);
        if (route.dripBytes > 0) {
            auto *timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, [this, timer]() {
                if (!sendSome(route.dripBytes))
                    timer->stop();
            });
            timer->start(route.dripIntervalMs);
        } else {
            connect(socket, &QTcpSocket::bytesWritten, this, [this]() {
                if (socket->bytesToWrite() < kChunk)
                    sendSome(kChunk);
            });
            sendSome(kChunk);
        }
    }

private:
    QByteArray reason() const
    {
        switch (route.status) {
        case 200: return "OK";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 404: return "Not Found";
        default: return "Status";
        }
    }

    // Sends up to n more body bytes; false once the answer is over.
    bool sendSome(qint64 n)
    {
        if (done)
            return false;
        qint64 limit = total;
        if (route.dropAfter >= 0)
            limit = qMin(limit, route.dropAfter);
        n = qMin(n, limit - sent);
        if (n > 0) {
            QByteArray chunk;
            if (file)
                chunk = file->read(n);
            else if (route.bodySize >= 0) {
                chunk.resize(static_cast<int>(n));
                for (qint64 i = 0; i < n; ++i)
                    chunk[static_cast<int>(i)] = HttpServer::patternByte(sent + i);
            } else
                chunk = route.body.mid(static_cast<int>(sent), static_cast<int>(n));
            socket->write(chunk);
            sent += chunk.size();
        }
        if (sent >= limit) {
            done = true;
            if (route.dropAfter >= 0 && route.dropAfter < total) {
                socket->flush();
                socket->abort(); // mid-body: the client sees the connection drop
            } else {
                socket->disconnectFromHost();
            }
            return false;
        }
        return true;
    }

    QTcpSocket *socket;
    HttpRoute route;
    std::unique_ptr<QFile> file;
    qint64 total = 0;
    qint64 sent = 0;
    bool done = false;
};

} // namespace

HttpServer::HttpServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &HttpServer::onConnection);
}

bool HttpServer::listen(quint16 port)
{
    return server.listen(QHostAddress::LocalHost, port);
}

QString HttpServer::url(const QString &path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(server.serverPort()).arg(path);
}

QByteArray HttpServer::pattern(qint64 size)
{
    QByteArray out(static_cast<int>(size), '\0');
    for (qint64 i = 0; i < size; ++i)
        out[static_cast<int>(i)] = patternByte(i);
    return out;
}

void HttpServer::onConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto request = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, request]() {
            if (request->endsWith("\r\n\r\n"))
                return; // already answering
            request->append(socket->readAll());
            if (!request->contains("\r\n\r\n"))
                return;
            *request = request->left(request->indexOf("\r\n\r\n") + 4);
            ++requests;
            const QList<QByteArray> words = request->left(request->indexOf("\r\n")).split(' ');
            const QString path = words.size() > 1 ? QString::fromLatin1(words.at(1)) : QString();
            ++requestsByPath[path];
            HttpRoute r;
            if (routes.contains(path))
                r = routes.value(path);
            else {
                r.status = 404;
                r.body = "not found";
            }
            (new Exchange(socket, r))->start();
        });
    }
}
