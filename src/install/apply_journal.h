#pragma once
#include <QByteArray>
#include <QMap>
#include <QString>

#include <string>
#include <QStringList>

// The record of an apply in progress, kept beside its backup so that the next
// start can undo an apply that a crash, a kill or a power cut interrupted.
struct ApplyJournal
{
    // "backup": the backup is being made, the installation is untouched.
    // "unpacking": files of the installation may have been overwritten.
    // "unpacked": the unpack completed and was checked; the commit is next.
    // "committed": nothing to undo; the backup goes, then the journal.
    QString phase;
    QString installDir;
    QString backupDir;
    QString oldVersion;
    QString newVersion;
    // Files the apply adds (paths below installDir): the restore removes them.
    QStringList added;
    // Each backup copy as it reached the disk; a restore checks them all
    // before it writes anything. Absent in journals of older updaters.
    struct Copy
    {
        qint64 size = -1;
        QByteArray sha256; // hex
        // This run's own copy: its fileStamp() once written (not in the journal).
        std::string stamp;
    };
    QMap<QString, Copy> copies;
    bool copiesRecorded = false;

    // The journal file of a backup directory.
    static QString pathFor(const QString &backupDir) { return backupDir + QStringLiteral(".journal"); }
    // Written through a temporary file, flushed, then renamed over the old one.
    bool write() const;
    bool read(const QString &path);
};
