#include "engine/apply_journal.h"

#include "engine/update_engine.h"
#include "delta/delta.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

bool ApplyJournal::write() const
{
    const QJsonObject o{{QStringLiteral("phase"), phase},           {QStringLiteral("installDir"), installDir},
                        {QStringLiteral("backupDir"), backupDir},   {QStringLiteral("oldVersion"), oldVersion},
                        {QStringLiteral("newVersion"), newVersion}, {QStringLiteral("added"), QJsonArray::fromStringList(added)}};
    QSaveFile f(pathFor(backupDir));
    return f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(o).toJson()) > 0 && f.commit();
}

bool ApplyJournal::read(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    phase = o.value(QStringLiteral("phase")).toString();
    installDir = o.value(QStringLiteral("installDir")).toString();
    backupDir = o.value(QStringLiteral("backupDir")).toString();
    oldVersion = o.value(QStringLiteral("oldVersion")).toString();
    newVersion = o.value(QStringLiteral("newVersion")).toString();
    added.clear();
    for (const QJsonValue &v : o.value(QStringLiteral("added")).toArray())
        added << v.toString();
    return !phase.isEmpty();
}

bool UpdateEngine::recoverInstallation(const QString &mainProgram)
{
    appPath = mainProgram;
    appDir = QFileInfo(mainProgram).absolutePath();
    return recoverInterruptedApply(false);
}

namespace {

std::string native(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

// Why an entry of the installation may have been written by someone else;
// empty when only the elevated user could have.
QString untrusted(const QString &path)
{
    return QString::fromStdString(platform::untrustedEntry(native(path)));
}

} // namespace

bool UpdateEngine::recoverInterruptedApply(bool clearLoneBackups)
{
    const QDir dir(appDir);
    // Journals and backups are trusted only where others cannot write.
    const QString unsafeDir = untrusted(appDir);
    if (!unsafeDir.isEmpty()) {
        qCritical() << "安装目录可被他人修改，不使用其中的更新日志和备份:" << appDir << unsafeDir;
        return false;
    }
    const QStringList journals = dir.entryList({QStringLiteral("_update_backup_*.journal")}, QDir::Files | QDir::Hidden
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
            if (refused.isEmpty() && !delta::unsafeName(added).isEmpty())
                refused = QStringLiteral("a path outside the installation: ") + added;
        if (!refused.isEmpty()) {
            qCritical() << "更新日志或备份不可信，不使用:" << dir.filePath(name) << refused;
            recovered = false;
            continue;
        }
        qWarning() << "发现中断的更新:" << backup << "阶段:" << journal.phase << "版本:" << journal.oldVersion << "->"
                   << journal.newVersion;
        if (readable && journal.phase == QLatin1String("backup")) {
            // Interrupted while backing up: the installation was never touched.
            platform::removeTree(native(backup), platform::Owner::Elevated);
            QFile::remove(dir.filePath(name));
            qWarning() << "已删除未完成的备份:" << backup;
            continue;
        }
        const QString ownBackup = backupDir;
        const QStringList ownAdded = addedFiles;
        backupDir = backup;
        addedFiles = journal.added;
        keepBackupDir = false;
        // Complete only when every file came back; otherwise both stay for another try.
        const bool complete = readable && restoreBackup() && !keepBackupDir;
        backupDir = ownBackup;
        addedFiles = ownAdded;
        keepBackupDir = false;
        if (!complete) {
            qCritical() << "无法从中断的更新中恢复，保留备份:" << backup;
            recovered = false;
            continue;
        }
        platform::removeTree(native(backup), platform::Owner::Elevated);
        QFile::remove(dir.filePath(name));
        platform::disarmBootRecovery();
        qWarning() << "已从备份恢复中断的更新:" << backup;
    }
    if (!clearLoneBackups)
        return recovered;
    // Backups of finished updates, or of none: nothing will ever use them.
    // Removed by handle: never through a link, only the elevated user's entries.
    const QStringList backups = dir.entryList({QStringLiteral("_update_backup_*")}, QDir::Dirs | QDir::Hidden
                                                                                      | QDir::NoDotAndDotDot);
    for (const QString &name : backups) {
        if (QFileInfo::exists(ApplyJournal::pathFor(dir.filePath(name))))
            continue;
        qDebug() << "清理遗留备份目录:" << dir.filePath(name);
        platform::removeTree(native(dir.filePath(name)), platform::Owner::Elevated);
    }
    return recovered;
}
