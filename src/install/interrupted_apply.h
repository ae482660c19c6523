#pragma once
// What the next start does after a crash, a kill or a power cut mid-apply.
#include "install/backup_restore.h"

// Undoes an apply of the installation in appDir that was interrupted, from
// its journal and backup, and clears backups and temporary names nothing will
// use; false when an interrupted apply could not be undone (all is kept).
bool recoverInterruptedApply(const QString &appDir, const InstallationBackup::Progress &progress = InstallationBackup::Progress());
