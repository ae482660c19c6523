#pragma once
// The backup of one apply: the installation's files that the update replaces,
// each copied to disk and hashed, what the update adds, and the journal that
// lets a restore (now, or at the next start) put the installation back.
#include "install/apply_journal.h"

#include <QMap>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

class InstallationBackup
{
public:
    // Names the backups beside the installation.
    static constexpr char kMarker[] = "_update_backup_";
    using Progress = std::function<void(int percent, const QString &message)>;

    // The installation and the version the apply installs; names the backup.
    void setTarget(const QString &appDir, const QString &newVersion);
    // touched lists the package's paths (false: the package cannot be read);
    // the files they replace are copied, the others recorded as added.
    bool create(const std::function<bool(QStringList *)> &touched, const Progress &progress);
    // Every file back from the backup, what the apply added removed; false
    // unless every file came back (the backup is then kept).
    bool restore(const Progress &progress);
    bool writeJournal(const QString &phase) const;
    // The backup goes, once the journal says nothing is left to undo.
    void discard();

    QString appDir;
    QString newVersion;
    QString dir;
    bool made = false;
    // What the apply adds to the installation.
    QStringList added;
    // The copies as they reached the disk (size, SHA-256); none recorded: a
    // journal of an older updater, restored as it stands.
    QMap<QString, ApplyJournal::Copy> copies;
    bool copiesRecorded = false;
    // Set once the backup holds what exists nowhere else (an incomplete or a
    // failed restore): no later clean-up of this process may remove it.
    std::atomic<bool> keep{false};
};
