#include "engine/package_check.h"

#include <QFile>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace {

// Why a name could land outside the target directory; empty when it cannot.
QString unsafeName(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("空的条目名");
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return QStringLiteral("绝对路径");
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return QStringLiteral("带盘符的路径");
    // ".." as a whole part, between separators of either kind.
    for (int at = name.indexOf(QLatin1String("..")); at >= 0; at = name.indexOf(QLatin1String(".."), at + 1)) {
        const bool starts = at == 0 || name.at(at - 1) == QLatin1Char('/') || name.at(at - 1) == QLatin1Char('\\');
        const bool ends = at + 2 == name.size() || name.at(at + 2) == QLatin1Char('/') || name.at(at + 2) == QLatin1Char('\\');
        if (starts && ends)
            return QStringLiteral("路径含有..");
    }
    return QString();
}

} // namespace

bool checkPackage(const QString &zipPath, const QString &mainProgramName, PackageContents *contents, QString *reason,
                  const std::atomic<bool> *stop)
{
    std::unique_ptr<archive, decltype(&archive_read_free)> a(archive_read_new(), &archive_read_free);
    archive_read_support_format_zip(a.get());
    const auto fail = [&](const QString &why) {
        *reason = why;
        return false;
    };
    const auto failArchive = [&](const QString &why) {
        const char *detail = archive_error_string(a.get());
        return fail(detail ? why + QStringLiteral(": ") + QString::fromUtf8(detail) : why);
    };
    if (archive_read_open_filename(a.get(), QFile::encodeName(zipPath).constData(), 1 << 20) != ARCHIVE_OK)
        return failArchive(QStringLiteral("无法打开更新包"));

    *contents = PackageContents();
    bool mainAtTop = false, mainNested = false;
    archive_entry *entry = nullptr;
    for (;;) {
        const int r = archive_read_next_header(a.get(), &entry);
        if (r == ARCHIVE_EOF)
            break;
        // A warning here only means a name that the locale cannot show.
        if (r < ARCHIVE_WARN)
            return failArchive(QStringLiteral("不是完整的ZIP文件"));
        const char *utf8 = archive_entry_pathname_utf8(entry);
        QString name = utf8 ? QString::fromUtf8(utf8) : QFile::decodeName(archive_entry_pathname(entry));
        while (name.startsWith(QLatin1String("./")))
            name.remove(0, 2);
        const mode_t type = archive_entry_filetype(entry);
        if (type == AE_IFDIR && (name.isEmpty() || name == QLatin1String(".")))
            continue; // the archive's own root, as tar writes it
        const QString unsafe = unsafeName(name);
        if (!unsafe.isEmpty())
            return fail(QStringLiteral("条目路径不安全(%1): %2").arg(unsafe, name));
        if (type != AE_IFREG && type != AE_IFDIR)
            return fail(QStringLiteral("条目不是普通文件或目录: %1").arg(name));

        qint64 size = 0;
        const void *block = nullptr;
        size_t length = 0;
        la_int64_t offset = 0;
        int d;
        while ((d = archive_read_data_block(a.get(), &block, &length, &offset)) == ARCHIVE_OK) {
            size = qMax<qint64>(size, offset + qint64(length));
            if (stop && *stop)
                return fail(QStringLiteral("检查已取消"));
        }
        // A CRC mismatch is reported as a warning: it fails the package all the same.
        if (d != ARCHIVE_EOF)
            return failArchive(QStringLiteral("条目损坏: %1").arg(name));
        if (type != AE_IFREG)
            continue;
        contents->files.insert(name, size);
        contents->unpackedSize += size;
        const QString fileName = name.section(QLatin1Char('/'), -1);
        if (fileName.compare(mainProgramName, Qt::CaseInsensitive) == 0)
            (name.contains(QLatin1Char('/')) ? mainNested : mainAtTop) = true;
    }
    if (contents->files.isEmpty())
        return fail(QStringLiteral("更新包为空"));
    if (mainNested && !mainAtTop)
        return fail(QStringLiteral("主程序不在顶层，更新包多了一层目录"));
    return true;
}
