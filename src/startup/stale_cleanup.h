#pragma once
#include <QDateTime>
#include <QString>

// Removes "TeskUpdate_*" entries from tempDir and "KarvoUpdate_*" entries from
// dataRoot that were created more than 300 s before reference. Never fails.
void removeStaleWorkDirs(const QString &tempDir, const QString &dataRoot, const QDateTime &reference);
