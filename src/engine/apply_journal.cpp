#include "engine/apply_journal.h"

#include "engine/update_engine.h"
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

bool UpdateEngine::recoverInterruptedApply(bool clearLoneBackups)
{
    const QDir dir(appDir);
    const QStringList journals = dir.entryList({QStringLiteral("_update_backup_*.journal")}, QDir::Files | QDir::Hidden);
    bool recovered = true;
    for (const QString &name : journals) {
        // The backup is the journal's neighbour, whatever the file says.
        const QString backup = dir.filePath(name.chopped(8));
        ApplyJournal journal;
        const bool readable = journal.read(dir.filePath(name));
        qWarning() << "发现中断的更新:" << backup << "阶段:" << journal.phase << "版本:" << journal.oldVersion << "->"
                   << journal.newVersion;
        if (readable && journal.phase == QLatin1String("backup")) {
            // Interrupted while backing up: the installation was never touched.
            QDir(backup).removeRecursively();
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
        const bool complete = readable && !platform::isLink(backup.toStdString()) && restoreBackup() && !keepBackupDir;
        backupDir = ownBackup;
        addedFiles = ownAdded;
        keepBackupDir = false;
        if (!complete) {
            qCritical() << "无法从中断的更新中恢复，保留备份:" << backup;
            recovered = false;
            continue;
        }
        QDir(backup).removeRecursively();
        QFile::remove(dir.filePath(name));
        platform::disarmBootRecovery();
        qWarning() << "已从备份恢复中断的更新:" << backup;
    }
    if (!clearLoneBackups)
        return recovered;
    // Backups of finished updates, or of none: nothing will ever use them.
    const QStringList backups = dir.entryList({QStringLiteral("_update_backup_*")}, QDir::Dirs | QDir::Hidden
                                                                                      | QDir::NoDotAndDotDot);
    for (const QString &name : backups) {
        if (QFileInfo::exists(ApplyJournal::pathFor(dir.filePath(name))))
            continue;
        qDebug() << "清理遗留备份目录:" << dir.filePath(name);
        if (platform::isLink(dir.filePath(name).toStdString()))
            QFile::remove(dir.filePath(name));
        else
            QDir(dir.filePath(name)).removeRecursively();
    }
    return recovered;
}
