#include "package/file_list.h"

#include "delta/delta.h"
#include "package/safe_paths.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

const int kMaxListSize = 16 << 20;

// A plain file of the installation, reached through no link.
bool plainFileBelow(const QString &root, const QString &rel)
{
    return linkOnTheWay(root, rel).isEmpty() && QFileInfo(root + QLatin1Char('/') + rel).isFile();
}

} // namespace

QStringList droppedFiles(CheckedPackage &package, const QString &appDir, const QStringList &kept)
{
    const QString listName = QLatin1String(delta::kFileListName);
    QFile installed(appDir + QLatin1Char('/') + listName);
    if (!plainFileBelow(appDir, listName))
        return {}; // installed by an older updater: nothing is known to be ours
    if (!package.contents().files.contains(listName))
        return {listName};
    QByteArray shipped;
    QString reason;
    const bool read = package.streamFiles([&](const QString &name) -> CheckedPackage::BlockSink {
        if (name != listName)
            return {};
        return [&shipped](const char *data, size_t size) {
            shipped.append(data, int(size));
            return shipped.size() <= kMaxListSize;
        };
    }, &reason);
    QStringList newPaths, oldPaths;
    if (!read || !installed.open(QIODevice::ReadOnly) || !delta::readFileList(shipped, &newPaths)
        || !delta::readFileList(installed.read(kMaxListSize), &oldPaths)) {
        qWarning() << "文件列表无法读取，不删除任何文件:" << reason;
        return {};
    }
    // Names compare as Windows compares them; a file where the new version
    // has a directory is the unpack's to replace.
    QSet<QString> keep;
    for (const QString &path : newPaths + kept)
        for (int cut = path.size(); cut > 0; cut = path.lastIndexOf(QLatin1Char('/'), cut - 1))
            keep.insert(path.left(cut).toLower());
    QStringList dropped;
    for (const QString &path : oldPaths)
        if (!keep.contains(path.toLower()) && unplainPath(path).isEmpty() && plainFileBelow(appDir, path))
            dropped << path;
    return dropped;
}
