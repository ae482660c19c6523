#pragma once
// The installation's steps in their order: stop the product, back up, unpack,
// restore when the unpack fails, record the version, clean up.
#include "install/backup_restore.h"
#include "install/install_timings.h"
#include "shared/outcomes.h"

#include <functional>

class InstallDriver
{
public:
    // The steps that need what the engine holds: the backup of the checked
    // package, its unpack, the version's record, the work directory's removal.
    struct Steps
    {
        std::function<bool()> backUp, unpack, updateConfig;
        std::function<void()> removeWorkDir;
    };

    InstallDriver(const QString &appPath, const InstallTimings &timings, InstallationBackup &backup,
                  InstallationBackup::Progress progress)
        : appPath(appPath), timings(timings), backup(backup), progress(std::move(progress))
    {
    }
    // Installed, ProcessesRunning, BackupFailed, Restored or Critical.
    Outcome run(const Steps &steps);

private:
    QString appPath;
    InstallTimings timings;
    InstallationBackup &backup;
    InstallationBackup::Progress progress;
};
