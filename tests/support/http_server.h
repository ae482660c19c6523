#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for download tests. Each path has one
// canned answer; the body can be sent with or without Content-Length, slowly,
// or cut off by dropping the connection.
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

struct HttpRoute
{
    int status = 200;
    QByteArray body;              // used when bodySize < 0
    qint64 bodySize = -1;         // generated body of this many bytes (patterned), streamed
    QString bodyFile;             // or the contents of this file, streamed
    bool contentLength = true;
    QByteArray location;          // redirect target (with status 301/302)
    int dripBytes = 0;            // > 0: send the body in pieces of this size ...
    int dripIntervalMs = 0;       // ... every this many milliseconds
    qint64 dropAfter = -1;        // >= 0: close the connection after this many body bytes
};

class HttpServer : public QObject
{
    Q_OBJECT
public:
    explicit HttpServer(QObject *parent = nullptr);
    bool listen(quint16 port = 0);
    void route(const QString &path, const HttpRoute &r) { routes.insert(path, r); }
    QString url(const QString &path) const;
    int requestCount() const { return requests; }
    int requestCount(const QString &path) const { return requestsByPath.value(path); }

    // The byte at offset i of a generated body.
    static char patternByte(qint64 i) { return static_cast<char>('a' + (i * 7 + i / 4096) % 26); }
    static QByteArray pattern(qint64 size);

private:
    void onConnection();
    QTcpServer server;
    QHash<QString, HttpRoute> routes;
    int requests = 0;
    QHash<QString, int> requestsByPath;
};
