#pragma once
// Stand-ins for command-line tools, placed first on PATH: each records its
// call as one line "name|arg1|arg2..." in DIR/calls.log, runs an optional
// shell snippet, and exits with the chosen code.
#include <QString>
#include <QStringList>

class ToolDoubles
{
public:
    explicit ToolDoubles(const QString &dir);
    void add(const QString &name, int exitCode, const QString &shell = QString()) const;
    QStringList calls() const;
    // PATH with this directory first.
    QString path() const;
    // Puts this directory first on the PATH of the current process.
    void activate() const;
    const QString &dir() const { return directory; }

private:
    QString directory;
};
