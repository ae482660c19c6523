#pragma once
// The record of every run, for support: each log line with its time in
// <data root>/FarwenUpdater/logs/update-<UTC stamp>.log (the last 20 runs, and
// 10 MiB at most), and last-result.json beside the logs for the product.
#include <QString>
#include <QStringList>

namespace runrecord {

// A line as the log may keep it: no user:password@ of an address, and no
// longer than a few thousand characters (a 40 MiB URL is not logged whole).
QString bounded(const QString &line);
// Every log line, from any thread; kept until the log is open. A run's log
// ends with one line that says so once it reaches 10 MiB.
void append(const QString &line);
// Opens this run's log once the updater's folder is its own (after the lock).
bool open(const QString &dataRoot, const QStringList &arguments);
// The run's outcome so far: "success", "failed" or "incomplete", a short
// reason code for the product and the message that ended the run.
void result(const QString &outcome, const QString &message, const QString &fromVersion, const QString &toVersion);
// The short code of an engine's final message.
QString reasonCode(bool success, const QString &message);

} // namespace runrecord
