#pragma once
#include <QDateTime>
#include <QString>

// Removes "TeskUpdate_*" entries from tempDir and "KarvoUpdate_*" entries from
// dataRoot that were created more than 300 s before reference; with
// noOtherUpdater (the one-updater lock is held) every "KarvoUpdate_*" entry.
// Links are removed, never followed. Never fails.
void removeStaleWorkDirs(const QString &tempDir, const QString &dataRoot, const QDateTime &reference,
                         bool noOtherUpdater = false);
