// Serves one file at /package.zip on 127.0.0.1, streamed in pieces so that
// memory stays flat for any size, and FILE.minisig at /package.zip.minisig
// when it exists; prints the URL, then runs until killed.
// Used by the demo and the benchmarks. Usage: farwen_http_serve FILE [PORT]
#include <QCoreApplication>
#include <QFile>
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
    QObject::connect(&server, &QTcpServer::newConnection, [&]() {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto *file = new QFile(args.at(1), socket);
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, file]() {
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
                socket->write("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: "
                              + QByteArray::number(file->size()) + "\r\n\r\n");
                auto pump = [socket, file]() {
                    while (socket->bytesToWrite() < 4 * 1024 * 1024 && !file->atEnd())
                        socket->write(file->read(1024 * 1024));
                    if (file->atEnd() && socket->bytesToWrite() == 0)
                        socket->disconnectFromHost();
                };
                QObject::connect(socket, &QTcpSocket::bytesWritten, socket, pump);
                pump();
            });
        }
    });
    QTextStream(stdout) << QStringLiteral("http://127.0.0.1:%1/package.zip").arg(server.serverPort()) << Qt::endl;
    return app.exec();
}
