#include "product_sandbox.h"

#include "tree_snapshot.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <chrono>

namespace {

QString winBuild()
{
    return qEnvironmentVariable("FARWEN_WIN_BUILD");
}

void installProgram(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::copy(underWine() ? winBuild() + "/bin/farwen_fixture_program.exe"
                            : QCoreApplication::applicationDirPath() + "/farwen_fixture_program",
                path);
    QFile::setPermissions(path, QFileDevice::Permissions(0x7755));
}

} // namespace

qint64 monotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool underWine()
{
    return !winBuild().isEmpty();
}

QString nativePath(const QString &path)
{
    // Inside the prefix's C: drive, as Windows programs name it there.
    const QString driveC = qEnvironmentVariable("WINEPREFIX") + "/drive_c/";
    if (underWine() && path.startsWith(driveC))
        return "C:\\" + path.mid(driveC.size()).replace('/', '\\');
    return underWine() ? "Z:" + QDir::toNativeSeparators(path) : path;
}

void startProgram(QProcess &process, const QString &program, const QStringList &args)
{
    process.start(underWine() ? "/usr/lib/wine/wine64" : program, underWine() ? QStringList{program} + args : args);
}

QString updaterBinary()
{
    return underWine() ? winBuild() + "/bin/FarwenUpdater.exe" : QStringLiteral(FARWEN_UPDATER_BIN);
}

QProcessEnvironment updaterEnvironment(const QString &dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!underWine()) // the Windows build has only its own platform, on Xvfb
        env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("PROGRAMDATA", dir + "/programdata");
    if (!underWine()) // Wine finds its server through TMPDIR: one for the whole test
        env.insert("TMPDIR", dir + "/tmp");
    QDir().mkpath(dir + "/programdata");
    QDir().mkpath(dir + "/tmp");
    return env;
}

int runToEnd(const QString &program, const QStringList &args, const QString &workDir, const QProcessEnvironment &env,
             QString *err)
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    startProgram(p, program, args);
    const bool ended = p.waitForFinished(30000);
    p.kill();
    p.waitForFinished();
    if (err)
        *err = QString::fromUtf8(p.readAll());
    return ended ? p.exitCode() : -1;
}

ProductSandbox::ProductSandbox(bool withDaemon, const QString &appDir)
    : appPath(appDir.isEmpty() ? root.path() + "/Pellamo" : appDir)
{
    // Open to an unprivileged user, as whom the product may be started again.
    QFile::setPermissions(root.path(), QFileDevice::Permissions(0x7755));
    writeTreeFile(root.path() + "/product-calls.log", QByteArray());
    QFile::setPermissions(root.path() + "/product-calls.log", QFileDevice::Permissions(0x6666));
    installProgram(mainProgram());
    installProgram(app() + "/KarvoDeskServer.exe");
    if (withDaemon) {
        installProgram(app() + "/KarvoDeskServer/KarvoDeskDaemon.exe");
        writeTreeFile(app() + "/KarvoDeskServer/version.txt", "1.0.0");
    }
    writeTreeFile(app() + "/version.txt", "1.0.0");
    writeTreeFile(app() + "/data/user-settings.json", "{\"theme\": \"dark\"}");
    writeTreeFile(app() + "/config.ini", "[App]\nVersion=1.0.0\n\n[Update]\nLastPromptTime=1\nLastCheckTime=2\n");
}

ProductSandbox::~ProductSandbox()
{
    // Everything the updater started again, and what it did not stop.
    if (underWine()) { // and the next run's programs must not find the server on its way out
        QProcess::execute("/usr/lib/wine/wineserver", {"-k"});
        QProcess::execute("/usr/lib/wine/wineserver", {"-w"});
    }
    for (const ProductCall &c : calls())
        if (c.args != "stop" && c.args != "install" && isAlive(c.pid))
            QProcess::execute("kill", {"-KILL", QString::number(c.pid)});
}

QProcessEnvironment ProductSandbox::environment() const
{
    QProcessEnvironment env = updaterEnvironment(root.path());
    env.insert("FARWEN_FIXTURE_LOG", nativePath(root.path() + "/product-calls.log"));
    return env;
}

void ProductSandbox::startProduct()
{
    for (const QString &program : {mainProgram(), app() + "/KarvoDeskServer/KarvoDeskDaemon.exe",
                                   app() + "/KarvoDeskServer.exe"}) {
        if (!QFileInfo::exists(program))
            continue;
        QProcess p; // detached: it logs itself, and the destructor ends it
        p.setProcessEnvironment(environment());
        p.setWorkingDirectory(QFileInfo(program).absolutePath());
        p.setProgram(underWine() ? "/usr/lib/wine/wine64" : program);
        p.setArguments((underWine() ? QStringList{program} : QStringList())
                       + (program.contains("Daemon") ? QStringList{"run"} : QStringList()));
        p.startDetached();
    }
}

void ProductSandbox::prepareUpdate(int mainPaddingMiB, const QByteArray &updater)
{
    const QString zip = root.path() + "/update.zip", pkg = root.path() + "/package";
    QDir(pkg).removeRecursively();
    QFile::remove(zip);
    installProgram(pkg + "/Pellamo.exe");
    QFile main(pkg + "/Pellamo.exe");
    main.open(QIODevice::Append);
    for (int i = 0; i < mainPaddingMiB; ++i)
        main.write(HttpServer::pattern(1 << 20));
    main.close();
    writeTreeFile(pkg + "/version.txt", "2.0.0");
    writeTreeFile(pkg + "/KarvoDeskServer/version.txt", "2.0.0");
    writeTreeFile(pkg + "/plugins/newfeature.dll", QByteArray(50000, 'n')); // in a folder the update makes
    if (!updater.isEmpty())
        writeTreeFile(pkg + (underWine() ? "/FarwenUpdater.exe" : "/FarwenUpdater"), updater);
    QProcess::execute("/usr/bin/bsdtar", {"--format=zip", "-cf", zip, "-C", pkg, "."});
    QFile package(zip);
    package.open(QIODevice::ReadOnly);
    const HttpRoute route(200, package.readAll());
    server.route("/update.zip", route);
    const QString sha256 = QCryptographicHash::hash(route.body, QCryptographicHash::Sha256).toHex();
    writeTreeFile(infoFile(), QStringLiteral("{\"app_path\": \"%1\", \"new_version\": \"2.0.0\", \"download_url\": \"%2\", "
                                             "\"memo\": \"New version\", \"sha256\": \"%3\"}")
                                  .arg(nativePath(mainProgram()).replace('\\', "/"), server.url("/update.zip"), sha256)
                                  .toUtf8());
}

QVector<ProductCall> ProductSandbox::calls(const QString &program, const QString &args) const
{
    QVector<ProductCall> out;
    QFile f(root.path() + "/product-calls.log");
    f.open(QIODevice::ReadOnly);
    for (const QString &line : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)) {
        ProductCall c;
        c.program = line.section(' ', 0, 0);
        c.args = line.section("args=[", 1).section("] cwd=", 0, 0);
        c.cwd = line.section("] cwd=", 1).section(" pid=", 0, 0);
        c.pid = line.section(" pid=", 1).section(' ', 0, 0).toLongLong();
        c.uid = line.section(" uid=", 1).section(' ', 0, 0).toLongLong();
        c.version = line.section(" version=", 1).section(' ', 0, 0);
        c.time = line.section(" t=", 1).toLongLong();
        if (program.isEmpty() || (c.program == program && c.args == args))
            out << c;
    }
    return out;
}

QStringList ProductSandbox::callNames() const
{
    QStringList out;
    for (const ProductCall &c : calls())
        out << c.program + " " + c.args;
    return out;
}

bool ProductSandbox::isAlive(qint64 pid)
{
    // A zombie has no executable any more.
    return pid > 0 && !QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).isEmpty();
}
