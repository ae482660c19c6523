#pragma once
// A sandbox installation of fixture programs, a new version served on
// 127.0.0.1 and the update-info file, for runs of the real binary.
#include "http_server.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QVector>

struct ProductCall
{
    QString program, args, cwd, version; // args blank-separated, version from version.txt beside it
    qint64 pid = 0, uid = -1, time = 0;  // time in ms on the monotonic clock (monotonicMs)
};

qint64 monotonicMs();
// With FARWEN_WIN_BUILD naming a Windows build, the programs are its .exe files run
// under Wine, and paths handed to them are Wine's (Z:...).
bool underWine();
QString nativePath(const QString &path);
void startProgram(QProcess &process, const QString &program, const QStringList &args);
QString updaterBinary();
// Offscreen platform, data root and temp dir below the given directory.
QProcessEnvironment updaterEnvironment(const QString &dir);
// Runs a program to its end; its exit code (-1 when it hung), its output (both channels) in *err.
int runToEnd(const QString &program, const QStringList &args, const QString &workDir, const QProcessEnvironment &env,
             QString *err = nullptr);

class ProductSandbox
{
public:
    // The installation below the sandbox, or in appDir (its parent must exist).
    explicit ProductSandbox(bool withDaemon = true, const QString &appDir = QString());
    ~ProductSandbox();

    QString app() const { return appPath; }
    QString mainProgram() const { return app() + "/Pellamo.exe"; }
    QString dataRoot() const { return root.path() + "/programdata"; }
    // Named like the installation: its "companion directory" is the installation itself.
    QString infoFile() const { return root.path() + "/Pellamo.json"; }
    QString path() const { return root.path(); }
    QProcessEnvironment environment() const;

    // Starts the main program, the daemon ("run") and the server.
    void startProduct();
    // Ends every program of the sandbox that still runs, however it was started.
    // Serves version 2.0.0 (or raw bytes), its main program padded to take
    // time to write, with a new updater when given; writes the info file.
    void prepareUpdate(int mainPaddingMiB = 0, const QByteArray &updater = QByteArray());
    // The update-info file for the served package, from the given (or its own) address.
    // The fixture programs' calls in order, all or those of one program and arguments.
    QVector<ProductCall> calls(const QString &program = QString(), const QString &args = QString()) const;
    // The calls as "program args".
    QStringList callNames() const;
    static bool isAlive(qint64 pid);

    HttpServer server;

private:
    QTemporaryDir root;
    QString appPath;
};
