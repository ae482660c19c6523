// Serves one file at /package.zip on 127.0.0.1, streamed in pieces so that
// memory stays flat for any size, with an ETag and byte ranges, and
// FILE.minisig at /package.zip.minisig when it exists; prints the URL, then
// runs until killed, logging the bytes of each answer to stderr.
// FARWEN_SERVE_CUT_AT=N: the first answer breaks off after N bytes.
// Used by the demo and the benchmarks. Usage: farwen_http_serve FILE [PORT]
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

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
    QObject::connect(&server, &QTcpServer::newConnection, [&]() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto *file = new QFile(args.at(1), socket);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, file, &cutAt]() {
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
                auto pump = [socket, file, limit, sent]() {
                    while (socket->bytesToWrite() < 4 * 1024 * 1024 && !file->atEnd() && *sent < limit) {
                        const QByteArray piece = file->read(qMin<qint64>(1024 * 1024, limit - *sent));
                        *sent += socket->write(piece);
                    }
                    if ((file->atEnd() || *sent >= limit) && socket->bytesToWrite() == 0)
                        socket->disconnectFromHost();
                };
                // Also for an answer the client broke off: what left this server counts.
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, sent]() {
                    QTextStream(stderr) << "sent " << *sent - socket->bytesToWrite() << Qt::endl;
                });
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
                pump();
            });
        }
    });
    QTextStream(stdout) << QStringLiteral("http://127.0.0.1:%1/package.zip").arg(server.serverPort()) << Qt::endl;
    return app.exec();
}
