#include "startup/stale_cleanup.h"
#include "shared/product_names.h"

#include "platform/platform.h"
#include "platform/native_path.h"

#include <QDir>
#include <QFileInfo>

#include <limits>

namespace {

const qint64 kStaleAgeSeconds = 300;

void removeStaleEntries(const QString &location, const QString &pattern, const QDateTime &reference, qint64 minAge)
{
    // Without QDir::CaseSensitive the name filter ignores case.
    const QFileInfoList entries =
        QDir(location).entryInfoList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QDateTime born = entry.birthTime();
        // An unreadable creation time counts as age 0: keep the entry.
        const qint64 age = born.isValid() ? born.secsTo(reference) : 0;
        if (age <= minAge)
            continue;
        // Others may write in these places: never by path, never through a link.
        platform::removeTree(platformPath(entry.absoluteFilePath()), platform::Owner::Elevated);
    }
}

} // namespace

void removeStaleWorkDirs(const QString &tempDir, const QString &dataRoot, const QDateTime &reference,
                         bool noOtherUpdater)
{
    removeStaleEntries(tempDir, QLatin1String(product::kOldTempDirPrefix) + QLatin1Char('*'), reference, kStaleAgeSeconds);
    // While this run holds the one-updater lock, every other work directory
    // is a crashed run's, however young.
    removeStaleEntries(dataRoot, QLatin1String(product::kWorkDirPrefix) + QLatin1Char('*'), reference,
                       noOtherUpdater ? std::numeric_limits<qint64>::min() : kStaleAgeSeconds);
}
