// Serves one file at /package.zip on 127.0.0.1, streamed in pieces so that
// memory stays flat for any size, with an ETag and byte ranges, and
// FILE.minisig at /package.zip.minisig when it exists; prints the URL, then
// runs until killed, logging the bytes of each answer to stderr.
// FARWEN_SERVE_CUT_AT=N: the first answer breaks off after N bytes.
// FARWEN_SERVE_RATE=B: at most B bytes a second, as a network line would.
// For an answer the client broke off, the bytes logged are those its side
// acknowledged (on Linux), not those still queued here when it went away.
// Used by the demo and the benchmarks. Usage: farwen_http_serve FILE [PORT]
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <memory>

#ifdef __linux__
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

// What reached the other side: the kernel's acknowledged count, read through
// a duplicate of the descriptor that outlives the socket's close.
struct WireCount
{
    int fd = -1;
    bool whole = false; // the whole answer left: it all counts
    explicit WireCount(qintptr descriptor)
    {
#ifdef __linux__
        fd = ::dup(int(descriptor));
#else
        Q_UNUSED(descriptor);
#endif
    }
    ~WireCount()
    {
#ifdef __linux__
        if (fd >= 0)
            ::close(fd);
#endif
    }
    qint64 acked(qint64 fallback) const
    {
#ifdef __linux__
        tcp_info info{};
        socklen_t size = sizeof(info);
        if (fd >= 0 && ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0
            && size >= offsetof(tcp_info, tcpi_bytes_acked) + sizeof(info.tcpi_bytes_acked))
            return qint64(info.tcpi_bytes_acked);
#endif
        return fallback;
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: farwen_http_serve FILE [PORT]\n";
        return 2;
    }
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, args.value(2).toUShort()))
        return 1;
    qint64 cutAt = qEnvironmentVariableIntValue("FARWEN_SERVE_CUT_AT");
    const double rate = qEnvironmentVariableIntValue("FARWEN_SERVE_RATE");
    QObject::connect(&server, &QTcpServer::newConnection, [&]() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto *file = new QFile(args.at(1), socket);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            auto wire = std::make_shared<WireCount>(socket->socketDescriptor());
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, file, &cutAt, rate, wire]() {
                const QByteArray request = socket->readAll();
                if (file->isOpen() || !request.contains("\r\n\r\n"))
                    return;
                if (request.split(' ').value(1).endsWith(".minisig"))
                    file->setFileName(file->fileName() + ".minisig");
                if (!file->open(QIODevice::ReadOnly)) {
                    socket->write("HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
                    socket->disconnectFromHost();
                    return;
                }
                const QFileInfo info(*file);
                const QByteArray etag = '"' + QByteArray::number(info.size()) + '-' + QByteArray::number(info.lastModified().toSecsSinceEpoch()) + '"';
                qint64 from = 0;
                const int r = request.indexOf("\r\nRange: bytes=");
                const int i = request.indexOf("\r\nIf-Range: ");
                if (r >= 0 && (i < 0 || request.mid(i + 12, etag.size()) == etag))
                    from = request.mid(r + 15, request.indexOf('-', r + 15) - r - 15).toLongLong();
                file->seek(from);
                QByteArray head = from > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + QByteArray::number(from) + "-"
                                                 + QByteArray::number(info.size() - 1) + "/" + QByteArray::number(info.size()) + "\r\n"
                                           : QByteArray("HTTP/1.1 200 OK\r\n");
                socket->write(head + "ETag: " + etag + "\r\nConnection: close\r\nContent-Length: "
                              + QByteArray::number(info.size() - from) + "\r\n\r\n");
                const qint64 limit = cutAt > 0 ? cutAt : info.size();
                cutAt = 0;
                auto sent = std::make_shared<qint64>(0);
                // A token bucket of 100 ms of the rate: what a real line's receive window
                // holds while the client is briefly busy, not more.
                auto tokens = std::make_shared<double>(0);
                auto clock = std::make_shared<QElapsedTimer>();
                clock->start();
                auto pump = [socket, file, limit, sent, rate, tokens, clock, wire]() {
                    if (rate > 0) {
                        *tokens = qMin(rate / 10, *tokens + rate * clock->nsecsElapsed() / 1e9);
                        clock->restart();
                    }
                    while (socket->bytesToWrite() < 4 * 1024 * 1024 && !file->atEnd() && *sent < limit) {
                        qint64 n = qMin<qint64>(1024 * 1024, limit - *sent);
                        if (rate > 0 && (n = qMin<qint64>(n, qint64(*tokens))) <= 0)
                            break;
                        const QByteArray piece = file->read(n);
                        *sent += socket->write(piece);
                        *tokens -= piece.size();
                    }
                    if ((file->atEnd() || *sent >= limit) && socket->bytesToWrite() == 0) {
                        wire->whole = true;
                        socket->disconnectFromHost();
                    }
                };
                // Also for an answer the client broke off.
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, sent, wire]() {
                    QTextStream(stderr) << "sent " << (wire->whole ? *sent : wire->acked(*sent - socket->bytesToWrite()))
                                        << Qt::endl;
                });
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
                if (rate > 0) {
                    auto *tick = new QTimer(socket);
                    QObject::connect(tick, &QTimer::timeout, socket, pump);
                    tick->start(2);
                }
                pump();
            });
        }
    });
    QTextStream(stdout) << QStringLiteral("http://127.0.0.1:%1/package.zip").arg(server.serverPort()) << Qt::endl;
    return app.exec();
}
