#pragma once
// Collects the log lines of the process (any thread) in order; signals can be
// added to the same list to check how lines and signals interleave.
#include <QMutex>
#include <QStringList>
#include <QtGlobal>

class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    void add(const QString &event);
    QStringList events() const;
    bool contains(const QString &line) const { return events().contains(line); }
    int count(const QString &line) const { return events().count(line); }
    void clear();

private:
    static void handler(QtMsgType, const QMessageLogContext &, const QString &msg);
    mutable QMutex mutex;
    QStringList list;
    QtMessageHandler previous;
};
