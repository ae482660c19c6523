#pragma once
// A sandbox installation of the product made of fixture programs, a new
// version as a ZIP package served on 127.0.0.1, and the update-info file, for
// runs of the real updater binary.
#include "http_server.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QVector>

struct ProductCall
{
    QString program; // file name
    QString args;    // as the fixture logged them, blank-separated
    QString cwd;
    qint64 pid = 0;
    QString version;
    qint64 time = 0; // ms on the monotonic clock (see monotonicMs)
};

struct ProcessResult
{
    bool finished = false;
    int exitCode = -1;
    QStringList stderrLines;
};

// Now on the clock the fixture programs log with.
qint64 monotonicMs();
QString updaterBinary();
// Offscreen platform, the given data root and temp dir.
QProcessEnvironment updaterEnvironment(const QString &dataRoot, const QString &tempDir);
ProcessResult runProcess(const QString &program, const QStringList &args, const QString &workDir,
                         const QProcessEnvironment &env);

class ProductSandbox
{
public:
    explicit ProductSandbox(bool withDaemon = true);
    ~ProductSandbox();

    QString app() const { return root.path() + "/Pellamo"; }
    QString mainProgram() const { return app() + "/Pellamo.exe"; }
    QString dataRoot() const { return root.path() + "/programdata"; }
    QString infoFile() const { return root.path() + "/update_info.json"; }

    // Starts the main program, the daemon ("run") and the server.
    void startProduct();
    // Serves version 2.0.0 (or the given raw bytes) and writes the update-info file.
    void prepareUpdate(const QByteArray &rawPackage = QByteArray());
    QProcessEnvironment environment() const;
    QVector<ProductCall> calls() const;
    QVector<ProductCall> callsOf(const QString &program, const QString &args) const;
    static bool isAlive(qint64 pid);

    HttpServer server;

private:
    QTemporaryDir root;
    QVector<QProcess *> product;
};
