#pragma once
// Tool stand-ins that the engine takes before any other: each logs "name|arg1|..." to
// DIR/calls.log, runs a shell snippet ($1... its arguments) and exits with the given code.
// On Windows the fixture program stands in, and only "echo '...'" and "sleep N" carry over.
#include "platform/tool_path.h"
#include "tree_snapshot.h"

#include <QCoreApplication>
#include <QRegularExpression>

struct ToolDoubles
{
    QString dir;
    explicit ToolDoubles(const QString &d) : dir(d)
    {
        QDir().mkpath(d);
        useToolDirectory(d);
    }
    ~ToolDoubles() { useToolDirectory(QString()); }
    // False when this system cannot run the snippet (the row is then skipped).
    bool add(const QString &name, int exitCode, const QString &shell = QString()) const
    {
#ifdef Q_OS_WIN
        QFile::copy(QCoreApplication::applicationDirPath() + "/farwen_fixture_program.exe", dir + '/' + name + ".exe");
        const auto echo = QRegularExpression("^echo '(.*)'$").match(shell), sleep = QRegularExpression("^sleep (\\d+)$").match(shell);
        writeTreeFile(dir + '/' + name + ".exe.double", QStringLiteral("%1 %2\n%3\n").arg(exitCode).arg(sleep.captured(1).toInt()).arg(echo.captured(1)).toUtf8());
        return shell.isEmpty() || echo.hasMatch() || sleep.hasMatch();
#else
        writeTreeFile(dir + '/' + name, QStringLiteral("#!/bin/sh\nline='%1'; for a in \"$@\"; do line=\"$line|$a\"; done\n"
                                                       "printf '%s\\n' \"$line\" >> '%2/calls.log'\n%3\nexit %4\n")
                                            .arg(name, dir, shell).arg(exitCode).toUtf8());
        return QFile::setPermissions(dir + '/' + name, QFileDevice::Permissions(0x7755));
#endif
    }
    QStringList calls() const
    {
        QFile f(dir + "/calls.log");
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
};
