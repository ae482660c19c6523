#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for download tests. Each path has one
// canned answer; the body can be sent with or without Content-Length (a body
// cut short then reaches the client as complete), slowly, or never at all.
#include <QHash>
#include <QTcpServer>

struct HttpRoute
{
    HttpRoute(int status = 200, const QByteArray &body = QByteArray(), bool contentLength = true)
        : status(status), body(body), contentLength(contentLength)
    {
    }
    int status = 200;
    QByteArray body;
    bool contentLength = true;
    QByteArray location;    // redirect target (with status 301/302)
    int dripBytes = 0;      // > 0: send the body in pieces of this size ...
    int dripIntervalMs = 0; // ... every this many milliseconds
};

class HttpServer : public QObject
{
public:
    HttpServer();
    void route(const QString &path, const HttpRoute &r) { routes.insert(path, r); }
    QString url(const QString &path) const;
    int requestCount(const QString &path) const { return requests.value(path); }
    // A body of this many patterned bytes, the same for the same size.
    static QByteArray pattern(qint64 size);

private:
    QTcpServer server;
    QHash<QString, HttpRoute> routes;
    QHash<QString, int> requests;
};
