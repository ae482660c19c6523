#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for download tests. Each path has one
// canned answer; the body can be sent with or without Content-Length (a body
// cut short then reaches the client as complete), slowly, or never at all;
// it serves byte ranges, and it can cut connections.
#include <QHash>
#include <QTcpServer>

struct HttpRoute
{
    HttpRoute(int status = 200, const QByteArray &body = QByteArray(), bool contentLength = true) : status(status), body(body), contentLength(contentLength) {}
    int status = 200;
    QByteArray body;
    bool contentLength = true;
    QByteArray location;    // redirect target (with status 301/302)
    int dripBytes = 0;      // > 0: send the body in pieces of this size ...
    int dripIntervalMs = 0; // ... every this many milliseconds
    QByteArray etag;        // a Range gets a 206 unless If-Range names another ETag
    int cuts = 0;           // the first this many answers end after ...
    qint64 cutAfter = 0;    // ... this many body bytes, connection closed
    QByteArray changedBody; // set: served from the second answer on, under another ETag
    bool compresses = false; // deflated, with no length, to a client that accepts it
    qint64 rangeShift = 0;   // a range is served from this many bytes further on
    bool ignoresRange = false; // the whole body with 200, whatever the range
    int shortRange = 0;      // the first range answered holds only this many bytes, as its headers say
    int busy = 0;            // the first this many answers are busyStatus with an error page ...
    int busyStatus = 503;
    QByteArray retryAfter;   // ... and this Retry-After, when set
};

class HttpServer : public QObject
{
public:
    HttpServer();
    void route(const QString &path, const HttpRoute &r) { routes.insert(path, r); }
    QString url(const QString &path) const;
    int requestCount(const QString &path) const { return requests.value(path); }
    qint64 bytesServed(const QString &path) const { return served.value(path); }
    // Whether the last request for the path came through a proxy.
    bool viaProxy(const QString &path) const { return proxied.value(path); }
    // Whether any request for the path asked for a byte range.
    bool rangeAsked(const QString &path) const { return ranged.value(path); }
    // A body of this many patterned bytes, the same for the same size.
    static QByteArray pattern(qint64 size);
    // Whether a child server took a connection on this loopback port in time: slow machines start late.
    static bool listening(quint16 port, int ms = 10000);

private:
    QTcpServer server;
    QHash<QString, HttpRoute> routes;
    QHash<QString, int> requests;
    QHash<QString, qint64> served;
    QHash<QString, bool> proxied;
    QHash<QString, bool> ranged;
};
