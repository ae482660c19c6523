#pragma once
// Runs the real FarwenUpdater binary as a child process with its own
// PROGRAMDATA and TMPDIR, and collects what it printed.
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ProcessResult
{
    bool finished = false;
    int exitCode = -1;
    QStringList stdoutLines;
    QStringList stderrLines;
};

// Environment for a child run: offscreen platform, given data root and temp dir.
QProcessEnvironment updaterEnvironment(const QString &dataRoot, const QString &tempDir);

ProcessResult runProcess(const QString &program, const QStringList &args, const QString &workDir,
                         const QProcessEnvironment &env, int timeoutMs = 30000);

// Path of the built updater binary.
QString updaterBinary();
