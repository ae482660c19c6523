// Downloads one URL through UpdateEngine and prints seconds (to the end of the
// transfer, and to the end of the check), bytes and peak RSS. With a minisign
// key file, the package's signature is fetched and checked too.
// Usage: bench_download_client URL PROGRAM [KEYFILE]
#include "engine/update_engine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

namespace {

QString peakRss()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).trimmed());
    return QStringLiteral("?");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() < 3) {
        QTextStream(stderr) << "usage: bench_download_client URL PROGRAM\n";
        return 2;
    }
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    UpdateEngine engine;
    engine.setUpdateInfo(app.arguments().at(2), QStringLiteral("2.0"), app.arguments().at(1));
    QFile keys(app.arguments().value(3));
    if (app.arguments().size() > 3 && keys.open(QIODevice::ReadOnly))
        engine.setSignatureInputs(keys.readAll(), QString());
    QElapsedTimer clock;
    double secs = 0; // to the end of the transfer, not counting the package check after it
    QObject::connect(&engine, &UpdateEngine::statusChanged, [&](const QString &status) {
        if (status == QStringLiteral("Checking file integrity..."))
            secs = clock.nsecsElapsed() / 1e9;
    });
    int code = 1;
    double total = 0;
    QObject::connect(&engine, &UpdateEngine::readyToInstall, [&]() {
        total = clock.nsecsElapsed() / 1e9;
        code = 0;
        app.quit();
    });
    QObject::connect(&engine, &UpdateEngine::errorOccurred, [&](const QString &e) {
        QTextStream(stderr) << e << "\n";
        app.quit();
    });
    clock.start();
    engine.startDownload();
    app.exec();
    QTextStream(stdout) << "engine_seconds " << secs << "\nengine_checked_seconds " << total << "\nengine_peak_rss "
                        << peakRss() << "\n";
    engine.cancel(); // removes the work directory
    return code;
}
