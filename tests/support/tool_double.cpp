#include "tool_double.h"

#include <QDir>
#include <QFile>

ToolDoubles::ToolDoubles(const QString &dir) : directory(dir)
{
    QDir().mkpath(dir);
}

void ToolDoubles::add(const QString &name, int exitCode, const QString &shell) const
{
    const QString script = directory + QLatin1Char('/') + name;
    QFile f(script);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(QStringLiteral("#!/bin/sh\n"
                           "line='%1'; for a in \"$@\"; do line=\"$line|$a\"; done\n"
                           "printf '%s\\n' \"$line\" >> '%2/calls.log'\n"
                           "%3\n"
                           "exit %4\n")
                .arg(name, directory, shell)
                .arg(exitCode)
                .toUtf8());
    f.close();
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther
                     | QFileDevice::ExeOther);
}

QStringList ToolDoubles::calls() const
{
    QFile f(directory + QStringLiteral("/calls.log"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList out = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    out.removeAll(QString());
    return out;
}

QString ToolDoubles::path() const
{
    return directory + QLatin1Char(':') + qEnvironmentVariable("PATH");
}

void ToolDoubles::activate() const
{
    qputenv("PATH", path().toUtf8());
}
