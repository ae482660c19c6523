// Serves one file at /package.zip on 127.0.0.1 with the test HTTP fixture;
// prints the port, then runs until killed. Used by the benchmarks and the demo.
#include "http_server.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        QTextStream(stderr) << "usage: farwen_http_serve FILE [PORT]\n";
        return 2;
    }
    HttpServer server;
    HttpRoute route;
    route.bodyFile = args.at(1);
    server.route(QStringLiteral("/package.zip"), route);
    if (!server.listen(args.size() > 2 ? args.at(2).toUShort() : 0))
        return 1;
    QTextStream(stdout) << server.url(QStringLiteral("/package.zip")) << Qt::endl;
    return app.exec();
}
