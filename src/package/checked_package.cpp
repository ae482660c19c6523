#include "package/checked_package.h"

#include "delta/delta.h"
#include "package/archive_entries.h"
#include "package/safe_paths.h"
#include "platform/native_path.h"
#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <memory>


using namespace archive_entries;

bool CheckedPackage::open(const QString &zipPath)
{
    close();
    file.setFileName(zipPath);
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

void CheckedPackage::close()
{
    file.close();
    held = PackageContents();
    checked = false;
}

bool CheckedPackage::check(const QString &mainProgramName, QString *reason, const std::atomic<bool> *stop)
{
    checked = false;
    held = PackageContents();
    bool mainAtTop = false, mainNested = false;
    const bool walked = walkEntries(file, reason, [&](archive *a, archive_entry *, const QString &name, mode_t type) {
        const QString unsafe = unsafeName(name);
        if (!unsafe.isEmpty())
            return failWith(reason, QStringLiteral("条目路径不安全(%1): %2").arg(unsafe, name));
        if (type != AE_IFREG && type != AE_IFDIR)
            return failWith(reason, QStringLiteral("条目不是普通文件或目录: %1").arg(name));
        qint64 size = 0;
        const bool read = readEntry(a, name, reason, [&](const void *, size_t length, la_int64_t offset) {
            size = qMax<qint64>(size, offset + qint64(length));
            return !(stop && *stop) || failWith(reason, QStringLiteral("检查已取消"));
        });
        if (!read || type != AE_IFREG)
            return read;
        held.files.insert(name, size);
        held.unpackedSize += size;
        const QString fileName = name.section(QLatin1Char('/'), -1);
        if (fileName.compare(mainProgramName, Qt::CaseInsensitive) == 0)
            (name.contains(QLatin1Char('/')) ? mainNested : mainAtTop) = true;
        return true;
    });
    if (!walked)
        return false;
    if (held.files.isEmpty())
        return failWith(reason, QStringLiteral("更新包为空"));
    // A delta's files lie below files/ and patches/.
    if (mainNested && !mainAtTop && !held.files.contains(QLatin1String(delta::kManifestName)))
        return failWith(reason, QStringLiteral("主程序不在顶层，更新包多了一层目录"));
    checked = true;
    return true;
}

bool CheckedPackage::streamFiles(const std::function<BlockSink(const QString &)> &start, QString *reason)
{
    return walkEntries(file, reason, [&](archive *a, archive_entry *, const QString &name, mode_t type) {
        const BlockSink take = type == AE_IFREG ? start(name) : BlockSink();
        if (!take)
            return true;
        la_int64_t at = 0;
        return readEntry(a, name, reason, [&](const void *block, size_t length, la_int64_t offset) {
            if (offset != at)
                return failWith(reason, QStringLiteral("条目无法读取: %1").arg(name));
            at += la_int64_t(length);
            return take(static_cast<const char *>(block), length);
        });
    });
}

bool CheckedPackage::unpack(const QString &targetDir,
                            const std::function<bool(const QString &, int)> &executable,
                            const std::function<void(qint64, qint64)> &progress, QString *reason,
                            const std::function<BlockSink(const QString &)> &divert)
{
    if (!checked)
        return failWith(reason, QStringLiteral("更新包未经检查"));
    const QDir target(targetDir);
    qint64 done = 0;
    return walkEntries(file, reason, [&](archive *a, archive_entry *entry, const QString &name, mode_t type) {
        if (!unsafeName(name).isEmpty() || (type != AE_IFREG && type != AE_IFDIR))
            return failWith(reason, QStringLiteral("条目路径不安全: %1").arg(name));
        if (!makeDirectories(targetDir, type == AE_IFDIR ? name : name.section(QLatin1Char('/'), 0, -2)))
            return failWith(reason, QStringLiteral("无法创建目录: %1").arg(name));
        if (type == AE_IFDIR)
            return true;
        if (const BlockSink take = divert ? divert(name) : BlockSink())
            return readEntry(a, name, reason, [&take](const void *block, size_t length, la_int64_t) {
                return take(static_cast<const char *>(block), length);
            });
        platform::FileReplacement out;
        if (!out.begin(platformPath(target.filePath(name)), executable(name, int(archive_entry_perm(entry)))))
            return failWith(reason, QStringLiteral("无法写入文件: %1").arg(name));
        la_int64_t written = 0;
        const bool read = readEntry(a, name, reason, [&](const void *block, size_t length, la_int64_t offset) {
            if (offset != written || !out.write(static_cast<const char *>(block), length))
                return failWith(reason, QStringLiteral("无法写入文件: %1").arg(name));
            written += la_int64_t(length);
            done += qint64(length);
            progress(done, held.unpackedSize);
            return true;
        });
        return read && (out.commit() || failWith(reason, QStringLiteral("无法替换文件: %1").arg(name)));
    });
}
