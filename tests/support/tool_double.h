#pragma once
// Tool stand-ins, first on PATH: each logs "name|arg1|..." to DIR/calls.log,
// runs a shell snippet ($1... its arguments) and exits with the given code.
#include <QDir>
#include <QFile>

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
