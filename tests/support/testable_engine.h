#pragma once
// Opens the engine's steps and work paths to the tests.
#include "engine/update_engine.h"
#include "platform/platform.h"

#include <QSignalSpy>
#include <QtTest>
#include <sys/stat.h>

// A process under Wine cannot wait for a Linux tool (the shell, bsdtar, minisign, openssl,
// tinyproxy, mount), and Windows has no modes or symbolic links: such rows skip there.
inline bool posix() { return QSysInfo::kernelType() != "winnt"; }
#define POSIX_ONLY(when, why) do { if ((when) && !posix()) QSKIP(why); } while (0)

class TestableEngine : public UpdateEngine
{
public:
    using UpdateEngine::availableBytes;
    using UpdateEngine::configPath;
    using UpdateEngine::createBackup;
    using UpdateEngine::extractPackage;
    using UpdateEngine::package;
    using UpdateEngine::setTimings;
    using UpdateEngine::tempDir;
    using UpdateEngine::updateConfigFile;
    using UpdateEngine::writeJournal;
    using UpdateEngine::zipPath;
    QString &backupDir = backup.dir;

    // Sleeps cut to a millisecond; tool time-outs kept long enough for a busy machine.
    static EngineTimings fast() { return EngineTimings{3000, 1, 3000, 1, 3000, 1, 1, 1, 5000, 30000, 10}; }
};

// installProgress signals recorded by a spy, as "percent message".
inline QStringList progressOf(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out << QStringLiteral("%1 %2").arg(args.at(0).toInt()).arg(args.at(1).toString());
    return out;
}

inline const QStringList kExtractingSteps{"80 Extracting files...", "83 Extracting files...", "86 Extracting files...",
                                          "89 Extracting files...", "92 Extracting files...", "95 Extracting files..."};
