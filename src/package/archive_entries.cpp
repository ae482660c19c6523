#include "package/archive_entries.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <memory>

// The walk over a package's entries, shared by the check and the unpack.
namespace archive_entries {

// The open package as libarchive's input, read from wherever it is.
struct FileInput
{
    QFile *file;
    QByteArray buffer;

    static la_ssize_t read(archive *, void *data, const void **block)
    {
        auto *in = static_cast<FileInput *>(data);
        in->buffer.resize(1 << 20);
        const qint64 n = in->file->read(in->buffer.data(), in->buffer.size());
        *block = in->buffer.constData();
        return n < 0 ? ARCHIVE_FATAL : la_ssize_t(n);
    }
    static la_int64_t seek(archive *, void *data, la_int64_t offset, int whence)
    {
        QFile *f = static_cast<FileInput *>(data)->file;
        const qint64 to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? f->pos() + offset : f->size() + offset;
        return f->seek(to) ? to : ARCHIVE_FATAL;
    }
    static la_int64_t skip(archive *a, void *data, la_int64_t request)
    {
        return seek(a, data, request, SEEK_CUR) < 0 ? 0 : request;
    }
};

using Archive = std::unique_ptr<archive, decltype(&archive_read_free)>;

Archive openArchive(QFile &file, FileInput *input)
{
    Archive a(archive_read_new(), &archive_read_free);
    archive_read_support_format_zip(a.get());
    file.seek(0);
    input->file = &file;
    archive_read_set_callback_data(a.get(), input);
    archive_read_set_read_callback(a.get(), &FileInput::read);
    archive_read_set_seek_callback(a.get(), &FileInput::seek);
    archive_read_set_skip_callback(a.get(), &FileInput::skip);
    if (archive_read_open1(a.get()) != ARCHIVE_OK)
        a.reset();
    return a;
}

// The entry's name as the package means it, and whether it is to be written:
// the archive's own root is not.
QString entryName(archive_entry *entry)
{
    const char *utf8 = archive_entry_pathname_utf8(entry);
    QString name = utf8 ? QString::fromUtf8(utf8) : QFile::decodeName(archive_entry_pathname(entry));
    while (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    return name;
}

// The directories of rel below root, made where missing; a file of the old
// version where the new one has a directory goes (the backup holds it).
bool makeDirectories(const QString &root, const QString &rel)
{
    QString at = root;
    for (const QString &part : rel.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        at += QLatin1Char('/') + part;
        const QFileInfo existing(at);
        if (existing.isDir())
            continue;
        if ((existing.exists() || existing.isSymLink()) && !QFile::remove(at))
            return false;
        if (!QDir().mkdir(at))
            return false;
    }
    return true;
}

// The next entry but the archive's own root ("./", as tar writes it; the
// installation directory keeps its own mode and owner): 1 with its name and
// type, 0 at the end, -1 when the archive is broken.
int nextEntry(archive *a, archive_entry **entry, QString *name, mode_t *type)
{
    for (;;) {
        const int r = archive_read_next_header(a, entry);
        if (r == ARCHIVE_EOF)
            return 0;
        // A warning here only means a name that the locale cannot show.
        if (r < ARCHIVE_WARN)
            return -1;
        *name = entryName(*entry);
        *type = archive_entry_filetype(*entry);
        if (*type != AE_IFDIR || !(name->isEmpty() || *name == QLatin1String(".")))
            return 1;
    }
}

QString archiveError(archive *a, const QString &why)
{
    const char *detail = a ? archive_error_string(a) : nullptr;
    return detail ? why + QStringLiteral(": ") + QString::fromUtf8(detail) : why;
}

bool failWith(QString *reason, const QString &why)
{
    *reason = why;
    return false;
}

// Every entry of the package in order (nextEntry's), until visit returns
// false having set the reason; false too when the archive cannot be opened
// or is broken.
using EntryVisit = std::function<bool(archive *, archive_entry *, const QString &name, mode_t type)>;
bool walkEntries(QFile &file, QString *reason, const EntryVisit &visit)
{
    FileInput input{};
    Archive a = openArchive(file, &input);
    if (!a)
        return failWith(reason, QStringLiteral("无法打开更新包"));
    archive_entry *entry = nullptr;
    QString name;
    mode_t type = 0;
    for (int r; (r = nextEntry(a.get(), &entry, &name, &type)) != 0;) {
        if (r < 0)
            return failWith(reason, archiveError(a.get(), QStringLiteral("不是完整的ZIP文件")));
        if (!visit(a.get(), entry, name, type))
            return false;
    }
    return true;
}

// The entry's data block by block to its end, which checks its CRC; false
// when it is damaged, or when use() refuses a block having set the reason.
bool readEntry(archive *a, const QString &name, QString *reason,
               const std::function<bool(const void *block, size_t length, la_int64_t offset)> &use)
{
    const void *block = nullptr;
    size_t length = 0;
    la_int64_t offset = 0;
    int d;
    while ((d = archive_read_data_block(a, &block, &length, &offset)) == ARCHIVE_OK)
        if (!use(block, length, offset))
            return false;
    // A CRC mismatch is reported as a warning: it fails the package all the same.
    return d == ARCHIVE_EOF || failWith(reason, archiveError(a, QStringLiteral("条目损坏: %1").arg(name)));
}

} // namespace archive_entries
