#include "install/interrupted_apply.h"

#include "delta/delta.h"
#include "package/safe_paths.h"
#include "platform/platform.h"
#include "platform/native_path.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

// Why an entry of the installation may have been written by someone else;
// empty when only the elevated user could have.
QString untrusted(const QString &path)
{
    return QString::fromStdString(platform::untrustedEntry(platformPath(path)));
}

// Backups without a journal and half-written files: logged and kept; false
// when there are any. Old programs renamed aside by a commit go once no
// apply is left to undo (removeAsides).
bool reportLeftovers(const QString &appDir, bool removeAsides)
{
    // A backup without its journal, or a file half written beside its target,
    // is an apply interrupted and its record lost: which files are old or new
    // nobody knows any more, so nothing is deleted or restored until a person
    // has looked. Only an empty backup (made, then nothing) goes.
    bool clean = true;
    const QDir dir(appDir);
    const QStringList backups{QLatin1String(InstallationBackup::kMarker) + QLatin1Char('*')};
    for (const QString &name : dir.entryList(backups, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString backup = dir.filePath(name);
        if (QFileInfo::exists(ApplyJournal::pathFor(backup)))
            continue;
        if (QDir(backup).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            platform::removeTree(platformPath(backup), platform::Owner::Elevated);
            continue;
        }
        qCritical() << "发现没有更新日志的备份，保留，请人工检查:" << backup;
        clean = false;
    }
    const QString pending = QString::fromStdString(platform::FileReplacement::pendingPath(""));
    QDirIterator it(appDir, {QLatin1Char('*') + pending, QStringLiteral("*.old-????????")}, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(QLatin1Char('/') + QLatin1String(InstallationBackup::kMarker)))
            continue;
        if (!path.endsWith(pending)) {
            const QString rel = dir.relativeFilePath(path);
            if (removeAsides && platform::FileReplacement::isAsideName(platformPath(it.fileName()))
                && platform::removeFileBelow(platformPath(appDir), platformPath(rel)))
                qDebug() << "已删除替换下来的旧程序文件:" << rel;
            continue;
        }
        qCritical() << "发现未完成的文件写入，保留，请人工检查:" << path;
        clean = false;
    }
    return clean;
}

} // namespace

bool recoverInterruptedApply(const QString &appDir, const InstallationBackup::Progress &progress)
{
    const QDir dir(appDir);
    // Journals and backups are trusted only where others cannot write.
    const QString unsafeDir = untrusted(appDir);
    if (!unsafeDir.isEmpty()) {
        qCritical() << "安装目录可被他人修改，不使用其中的更新日志和备份:" << appDir << unsafeDir;
        return false;
    }
    // A save killed between its temporary file's link and its rename leaves that name.
    for (const QString &name : dir.entryList({QStringLiteral("config.ini.??????"), QLatin1String(InstallationBackup::kMarker) + QStringLiteral("*.journal.??????")},
                                             QDir::Files | QDir::Hidden | QDir::System))
        platform::removeFileBelow(platformPath(appDir), platformPath(name));
    const QStringList journals = dir.entryList({QLatin1String(InstallationBackup::kMarker) + QStringLiteral("*.journal")}, QDir::Files | QDir::Hidden
                                                                                            | QDir::System);
    bool recovered = true;
    for (const QString &name : journals) {
        // The backup is the journal's neighbour, whatever the file says.
        const QString backup = dir.filePath(name.chopped(8));
        ApplyJournal journal;
        QString refused = untrusted(dir.filePath(name));
        if (refused.isEmpty() && (QFileInfo::exists(backup) || QFileInfo(backup).isSymLink()))
            refused = untrusted(backup);
        const bool readable = refused.isEmpty() && journal.read(dir.filePath(name));
        for (const QString &added : journal.added)
            if (refused.isEmpty() && !unsafeName(added).isEmpty())
                refused = QStringLiteral("a path outside the installation: ") + added;
        if (!refused.isEmpty()) {
            qCritical() << "更新日志或备份不可信，不使用:" << dir.filePath(name) << refused;
            recovered = false;
            continue;
        }
        qWarning() << "发现中断的更新:" << backup << "阶段:" << journal.phase << "版本:" << journal.oldVersion << "->"
                   << journal.newVersion;
        if (readable && (journal.phase == QLatin1String("backup") || journal.phase == QLatin1String("committed"))) {
            // Interrupted while backing up (the installation was never
            // touched), or after the commit: nothing to undo.
            platform::removeTree(platformPath(backup), platform::Owner::Elevated);
            QFile::remove(dir.filePath(name));
            platform::disarmBootRecovery(); // nothing is left to undo at the next boot
            qWarning() << "已删除不再需要的备份:" << backup;
            continue;
        }
        InstallationBackup interrupted;
        interrupted.appDir = appDir;
        interrupted.newVersion = journal.newVersion;
        interrupted.dir = backup;
        interrupted.added = journal.added;
        interrupted.copies = journal.copies;
        interrupted.copiesRecorded = journal.copiesRecorded;
        // Complete only when every file came back; otherwise both stay for another try.
        const bool complete = readable && interrupted.restore(progress) && !interrupted.keep;
        if (!complete) {
            qCritical() << "无法从中断的更新中恢复，保留备份:" << backup;
            recovered = false;
            continue;
        }
        // "committed" before any of the backup goes: a cut in between never
        // leaves a journal whose backup is half gone.
        interrupted.discard();
        qWarning() << "已从备份恢复中断的更新:" << backup;
    }
    return reportLeftovers(appDir, recovered) && recovered;
}
