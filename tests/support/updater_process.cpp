#include "updater_process.h"

#include <QDir>

namespace {

QStringList lines(const QByteArray &bytes)
{
    QStringList out = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    while (!out.isEmpty() && out.last().isEmpty())
        out.removeLast();
    return out;
}

} // namespace

QProcessEnvironment updaterEnvironment(const QString &dataRoot, const QString &tempDir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("PROGRAMDATA"), dataRoot);
    env.insert(QStringLiteral("TMPDIR"), tempDir);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tempDir);
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    return env;
}

ProcessResult runProcess(const QString &program, const QStringList &args, const QString &workDir,
                         const QProcessEnvironment &env, int timeoutMs)
{
    QProcess p;
    p.setProgram(program);
    p.setArguments(args);
    p.setWorkingDirectory(workDir);
    p.setProcessEnvironment(env);
    p.start();
    ProcessResult r;
    r.finished = p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitCode();
    r.stdoutLines = lines(p.readAllStandardOutput());
    r.stderrLines = lines(p.readAllStandardError());
    return r;
}

QString updaterBinary()
{
    return QStringLiteral(FARWEN_UPDATER_BIN);
}
