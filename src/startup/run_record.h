#pragma once
// The record of every run, for support: each log line with its time in
// <data root>/FarwenUpdater/logs/update-<UTC stamp>.log (the last 20 runs, and
// 10 MiB at most), and last-result.json beside the logs for the product.
#include "shared/outcomes.h"

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
// Written first: a run that ends without a final signal (closed, killed) is
// "incomplete", never taken for the previous one.
void incomplete(const QString &fromVersion, const QString &toVersion);
// The run's end: "success" or "failed", the outcome's code for the product,
// the message that ended it and the last log lines that said what failed.
void result(Outcome outcome, const QString &message, const QString &fromVersion, const QString &toVersion);

} // namespace runrecord
