#pragma once
// Stand-ins for command-line tools, put first on PATH by the constructor: each
// appends "name|arg1|arg2..." to DIR/calls.log, runs an optional shell
// snippet ($1... are its arguments) and exits with the chosen code.
#include <QDir>
#include <QFile>
#include <QStringList>

struct ToolDoubles
{
    QString dir;
    explicit ToolDoubles(const QString &d) : dir(d)
    {
        QDir().mkpath(d);
        qputenv("PATH", (d + ':' + qEnvironmentVariable("PATH")).toUtf8());
    }
    void add(const QString &name, int exitCode, const QString &shell = QString()) const
    {
        QFile f(dir + '/' + name);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QStringLiteral("#!/bin/sh\nline='%1'; for a in \"$@\"; do line=\"$line|$a\"; done\n"
                               "printf '%s\\n' \"$line\" >> '%2/calls.log'\n%3\nexit %4\n")
                    .arg(name, dir, shell).arg(exitCode).toUtf8());
        f.setPermissions(QFileDevice::Permissions(0x7755));
    }
    QStringList calls() const
    {
        QFile f(dir + "/calls.log");
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
};
