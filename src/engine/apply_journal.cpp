#include "engine/apply_journal.h"

#include "engine/update_engine.h"
#include "delta/delta.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

bool ApplyJournal::write() const
{
    QJsonObject o{{QStringLiteral("phase"), phase},           {QStringLiteral("installDir"), installDir},
                  {QStringLiteral("backupDir"), backupDir},   {QStringLiteral("oldVersion"), oldVersion},
                  {QStringLiteral("newVersion"), newVersion}, {QStringLiteral("added"), QJsonArray::fromStringList(added)}};
    if (copiesRecorded) {
        QJsonObject files;
        for (auto c = copies.cbegin(); c != copies.cend(); ++c)
            files.insert(c.key(), QJsonObject{{QStringLiteral("size"), c->size},
                                              {QStringLiteral("sha256"), QString::fromLatin1(c->sha256)}});
        o.insert(QStringLiteral("files"), files);
    }
    // Flushed, renamed over the old one, and the rename flushed with its directory.
    QSaveFile f(pathFor(backupDir));
    return f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(o).toJson()) > 0 && f.commit()
           && platform::flushDirectory(QFile::encodeName(QFileInfo(f.fileName()).absolutePath()).toStdString());
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
    copies.clear();
    copiesRecorded = o.value(QStringLiteral("files")).isObject();
    const QJsonObject files = o.value(QStringLiteral("files")).toObject();
    for (auto c = files.constBegin(); c != files.constEnd(); ++c)
        copies.insert(c.key(), Copy{qint64(c->toObject().value(QStringLiteral("size")).toDouble(-1)),
                                    c->toObject().value(QStringLiteral("sha256")).toString().toLatin1()});
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

bool UpdateEngine::reportLeftovers(bool removeEmptyBackups)
{
    // A backup without its journal, or a file half written beside its target,
    // is an apply interrupted and its record lost: which files are old or new
    // nobody knows any more, so nothing is deleted or restored until a person
    // has looked. Only an empty backup (made, then nothing) goes.
    bool clean = true;
    const QDir dir(appDir);
    for (const QString &name : dir.entryList({QStringLiteral("_update_backup_*")}, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
        const QString backup = dir.filePath(name);
        if (QFileInfo::exists(ApplyJournal::pathFor(backup)))
            continue;
        if (QDir(backup).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
            if (removeEmptyBackups)
                platform::removeTree(native(backup), platform::Owner::Elevated);
            continue;
        }
        qCritical() << "发现没有更新日志的备份，保留，请人工检查:" << backup;
        clean = false;
    }
    const QString pending = QString::fromStdString(platform::FileReplacement::pendingPath(""));
    QDirIterator it(appDir, {QLatin1Char('*') + pending}, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains(QLatin1String("/_update_backup_")))
            continue;
        qCritical() << "发现未完成的文件写入，保留，请人工检查:" << path;
        clean = false;
    }
    return clean;
}

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
        if (readable && (journal.phase == QLatin1String("backup") || journal.phase == QLatin1String("committed"))) {
            // Interrupted while backing up (the installation was never
            // touched), or after the commit: nothing to undo.
            platform::removeTree(native(backup), platform::Owner::Elevated);
            QFile::remove(dir.filePath(name));
            platform::disarmBootRecovery(); // nothing is left to undo at the next boot
            qWarning() << "已删除不再需要的备份:" << backup;
            continue;
        }
        const QString ownBackup = backupDir;
        const QStringList ownAdded = addedFiles;
        const auto ownCopies = backupCopies;
        const bool ownRecorded = backupCopiesRecorded;
        backupDir = backup;
        addedFiles = journal.added;
        backupCopies = journal.copies;
        backupCopiesRecorded = journal.copiesRecorded;
        keepBackupDir = false;
        // Complete only when every file came back; otherwise both stay for another try.
        const bool complete = readable && restoreBackup() && !keepBackupDir;
        backupDir = ownBackup;
        addedFiles = ownAdded;
        backupCopies = ownCopies;
        backupCopiesRecorded = ownRecorded;
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
    return reportLeftovers(clearLoneBackups) && recovered;
}
