// Times the package check, createBackup, restoreBackup and extractPackage on a given installation
// and package. Usage: bench_install_steps APPDIR ZIP.
#include "engine/update_engine.h"
#include "package/package_extraction.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <unistd.h>

class BenchEngine : public UpdateEngine
{
public:
    using UpdateEngine::cleanupBackupDir;
    using UpdateEngine::createBackup;
    using UpdateEngine::package;
    using UpdateEngine::extractPackage;
    using UpdateEngine::restoreBackup;
    using UpdateEngine::setTimings;
    using UpdateEngine::zipPath;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        QTextStream(stderr) << "usage: bench_install_steps APPDIR ZIP\n";
        return 2;
    }
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    BenchEngine engine;
    engine.setUpdateInfo(args.at(1) + "/Pellamo.exe", "2.0", "http://127.0.0.1/unused");
    QFile::copy(args.at(2), engine.zipPath);
    ::sync(); // the package on disk before the clock starts, as the baselines find it
    // The baselines too start QUIET idle seconds after a copy of the package: on
    // this virtual machine memory first written costs several times memory just
    // freed, and the package's copy takes that from whichever side follows it.
    ::sleep(unsigned(qEnvironmentVariableIntValue("QUIET")));

    QTextStream out(stdout);
    QElapsedTimer clock;
    auto timed = [&](const char *name, auto step) {
        clock.restart();
        const bool ok = step();
        out << name << "_seconds " << clock.nsecsElapsed() / 1e9 << (ok ? "" : " FAILED") << "\n";
    };
    // An update checks the package before it stops anything: not the backup's time.
    timed("checkPackage", [&] { return packageReady(engine.package, engine.zipPath, QStringLiteral("Pellamo.exe")); });
    timed("createBackup", [&] { return engine.createBackup(); });
    timed("restoreBackup", [&] { return engine.restoreBackup(); });
    timed("extractPackage", [&] { return engine.extractPackage(); });
    engine.cleanupBackupDir();
    engine.cancel();
    return 0;
}
