#pragma once
// A private X server for tests that need a real window system: the updater
// binary shows its window there and xdotool talks to it.
#include <QProcess>
#include <QString>

class XvfbDisplay
{
public:
    XvfbDisplay();
    ~XvfbDisplay();
    bool isRunning() const { return !name.isEmpty(); }
    const QString &display() const { return name; }
    // Runs xdotool against this display; returns its standard output.
    QString xdotool(const QStringList &args, int *exitCode = nullptr) const;

private:
    QProcess server;
    QString name;
};
