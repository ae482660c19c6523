#include "product_sandbox.h"

#include "tree_snapshot.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <csignal>

namespace {

QString fixtureBinary()
{
    return QCoreApplication::applicationDirPath() + "/farwen_fixture_program";
}

void installProgram(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::copy(fixtureBinary(), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

QString updaterBinary()
{
    return QStringLiteral(FARWEN_UPDATER_BIN);
}

QProcessEnvironment updaterEnvironment(const QString &dataRoot, const QString &tempDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("PROGRAMDATA", dataRoot);
    env.insert("TMPDIR", tempDir);
    env.insert("XDG_RUNTIME_DIR", tempDir);
    return env;
}

ProcessResult runProcess(const QString &program, const QStringList &args, const QString &workDir,
                         const QProcessEnvironment &env)
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    p.setProcessEnvironment(env);
    p.start(program, args);
    ProcessResult r;
    r.finished = p.waitForFinished(30000);
    if (!r.finished)
        p.kill();
    r.exitCode = p.exitCode();
    r.stderrLines = QString::fromUtf8(p.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    return r;
}

qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

ProductSandbox::ProductSandbox(bool withDaemon)
{
    installProgram(mainProgram());
    installProgram(app() + "/KarvoDeskServer.exe");
    if (withDaemon) {
        installProgram(app() + "/KarvoDeskServer/KarvoDeskDaemon.exe");
        writeTreeFile(app() + "/KarvoDeskServer/version.txt", "1.0.0");
    }
    writeTreeFile(app() + "/version.txt", "1.0.0");
    writeTreeFile(app() + "/data/user-settings.json", "{\"theme\": \"dark\"}");
    writeTreeFile(app() + "/config.ini", "[App]\nVersion=1.0.0\n\n[Update]\nLastPromptTime=1\nLastCheckTime=2\n");
    QDir().mkpath(dataRoot());
    QDir().mkpath(root.path() + "/tmp");
}

ProductSandbox::~ProductSandbox()
{
    // Everything the updater started again, and what it did not stop.
    for (const ProductCall &c : calls())
        if (c.args != "stop" && c.args != "install" && isAlive(c.pid))
            ::kill(static_cast<pid_t>(c.pid), SIGKILL);
    for (QProcess *p : product) {
        p->kill();
        p->waitForFinished();
        delete p;
    }
}

void ProductSandbox::startProduct()
{
    const QProcessEnvironment env = environment();
    auto start = [&](const QString &program, const QStringList &args) {
        auto *p = new QProcess;
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(QFileInfo(program).absolutePath());
        p->start(program, args);
        p->waitForStarted();
        product << p;
    };
    start(mainProgram(), {});
    if (QFileInfo::exists(app() + "/KarvoDeskServer/KarvoDeskDaemon.exe"))
        start(app() + "/KarvoDeskServer/KarvoDeskDaemon.exe", {"run"});
    start(app() + "/KarvoDeskServer.exe", {});
}

void ProductSandbox::prepareUpdate(const QByteArray &rawPackage)
{
    const QString zip = root.path() + "/update.zip";
    if (rawPackage.isNull()) {
        const QString pkg = root.path() + "/package";
        installProgram(pkg + "/Pellamo.exe");
        writeTreeFile(pkg + "/version.txt", "2.0.0");
        writeTreeFile(pkg + "/KarvoDeskServer/version.txt", "2.0.0");
        writeTreeFile(pkg + "/newfeature.dll", QByteArray(50000, 'n'));
        QProcess::execute("/usr/bin/bsdtar", {"--format=zip", "-cf", zip, "-C", pkg, "."});
    } else {
        writeTreeFile(zip, rawPackage);
    }
    HttpRoute route;
    QFile package(zip);
    package.open(QIODevice::ReadOnly);
    route.body = package.readAll();
    server.route("/update.zip", route);
    writeTreeFile(infoFile(), QStringLiteral("{\"app_path\": \"%1\", \"new_version\": \"2.0.0\", \"download_url\": \"%2\", "
                                             "\"memo\": \"New version\"}")
                                  .arg(mainProgram(), server.url("/update.zip"))
                                  .toUtf8());
}

QProcessEnvironment ProductSandbox::environment() const
{
    QProcessEnvironment env = updaterEnvironment(dataRoot(), root.path() + "/tmp");
    env.insert("FARWEN_FIXTURE_LOG", root.path() + "/product-calls.log");
    return env;
}

QVector<ProductCall> ProductSandbox::calls() const
{
    QVector<ProductCall> out;
    QFile f(root.path() + "/product-calls.log");
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QString &line : QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)) {
        ProductCall c;
        c.program = line.section(' ', 0, 0);
        c.args = line.section("args=[", 1).section("] cwd=", 0, 0);
        c.cwd = line.section("] cwd=", 1).section(" pid=", 0, 0);
        c.pid = line.section(" pid=", 1).section(' ', 0, 0).toLongLong();
        c.version = line.section(" version=", 1).section(' ', 0, 0);
        c.time = line.section(" t=", 1).toLongLong();
        out << c;
    }
    return out;
}

QVector<ProductCall> ProductSandbox::callsOf(const QString &program, const QString &args) const
{
    QVector<ProductCall> out;
    for (const ProductCall &c : calls())
        if (c.program == program && c.args == args)
            out << c;
    return out;
}

bool ProductSandbox::isAlive(qint64 pid)
{
    // A zombie has no executable any more.
    return pid > 0 && !QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).isEmpty();
}
