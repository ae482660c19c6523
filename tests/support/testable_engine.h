#pragma once
// Opens the engine's steps and work paths to the tests.
#include "engine/update_engine.h"

#include <QSignalSpy>
#include <QStringList>

class TestableEngine : public UpdateEngine
{
public:
    using UpdateEngine::appDir;
    using UpdateEngine::availableBytes;
    using UpdateEngine::backupDir;
    using UpdateEngine::cancelled;
    using UpdateEngine::checkDiskSpace;
    using UpdateEngine::cleanupBackupDir;
    using UpdateEngine::cleanupTempDir;
    using UpdateEngine::closeProcesses;
    using UpdateEngine::configPath;
    using UpdateEngine::createBackup;
    using UpdateEngine::extractPackage;
    using UpdateEngine::restoreBackup;
    using UpdateEngine::setTimings;
    using UpdateEngine::tempDir;
    using UpdateEngine::updateConfigFile;
    using UpdateEngine::workerThread;
    using UpdateEngine::zipPath;

    // The engine's waits cut to a few milliseconds.
    static EngineTimings fast()
    {
        EngineTimings t;
        t.serviceStopWait = 3000;
        t.afterServiceStopSleep = 1;
        t.killWait = 3000;
        t.afterKillSleep = 1;
        t.taskListWait = 3000;
        t.afterShutdownCheckSleep = 1;
        t.afterShutdownSleep = 1;
        t.beforeFinishSleep = 1;
        t.powerShellWait = 5000;
        t.tarWait = 10000;
        t.extractProgressSleep = 1;
        return t;
    }
};

// installProgress signals recorded by a spy, as "percent message".
inline QStringList progressOf(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << QStringLiteral("%1 %2").arg(args.at(0).toInt()).arg(args.at(1).toString());
    return out;
}

// The six signals of the unpacking step, whatever the tools reported.
inline const QStringList kExtractingSteps{"80 Extracting files...", "83 Extracting files...",
                                          "86 Extracting files...", "89 Extracting files...",
                                          "92 Extracting files...", "95 Extracting files..."};
