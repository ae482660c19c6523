#pragma once
// The walk over a package's entries that the check and the unpack share.
#include <QFile>
#include <QString>

#include <archive.h>
#include <archive_entry.h>

#include <functional>

namespace archive_entries {

// Every entry of the open file in archive order, with its name and type;
// false, with the reason, when the archive or visit() fails.
using EntryVisit = std::function<bool(archive *, archive_entry *, const QString &name, mode_t type)>;
bool walkEntries(QFile &file, QString *reason, const EntryVisit &visit);
// The entry's data block by block to its end, which checks its CRC.
bool readEntry(archive *a, const QString &name, QString *reason,
               const std::function<bool(const void *block, size_t length, la_int64_t offset)> &use);
// The directories of rel below root, made where missing; a file in the way goes.
bool makeDirectories(const QString &root, const QString &rel);
// Sets the reason; always false.
bool failWith(QString *reason, const QString &why);

} // namespace archive_entries
