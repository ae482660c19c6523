#pragma once
#include <QDateTime>
#include <QString>

// Removes work folders (product::kOldTempDirPrefix*) from tempDir and
// (product::kWorkDirPrefix*) from dataRoot that were created more than 300 s
// before reference; with noOtherUpdater (the one-updater lock is held) every
// one in dataRoot.
// Links are removed, never followed. Never fails.
void removeStaleWorkDirs(const QString &tempDir, const QString &dataRoot, const QDateTime &reference,
                         bool noOtherUpdater = false);
