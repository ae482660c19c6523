#pragma once
// Stopping the product before its files are written: the daemon's "stop",
// taskkill by image name, and tasklist to see what still runs.
#include "install/install_timings.h"

#include <QString>

// What tasklist says of an image name: shown, not shown, or no answer
// (missing, failed, or not within waitMs).
enum class ImageState { Running, Absent, Unknown };
ImageState imageState(const QString &imageName, int waitMs);
// Whether a process of that image name may run: true when tasklist shows it,
// and also when tasklist cannot be asked.
inline bool imageMayBeRunning(const QString &imageName, int waitMs)
{
    return imageState(imageName, waitMs) != ImageState::Absent;
}

class ProcessShutdown
{
public:
    ProcessShutdown(const QString &appPath, const InstallTimings &timings) : appPath(appPath), timings(timings) {}
    // The daemon, the server and the main program; true when the main program is gone.
    bool closeProcesses();
    // The main program is not running right before the first file is written.
    bool mainProgramStopped();

private:
    QString appPath;
    InstallTimings timings;
};
