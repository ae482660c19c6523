#include "install/backup_restore.h"

#include "delta/delta.h"

#include "install/ini_file.h"
#include "shared/progress_pacer.h"
#include "install/work_dir.h"
#include "package/safe_paths.h"
#include "platform/platform.h"
#include "platform/native_path.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

// Files at every depth, hidden ones too (the package may overwrite them);
// links to directories are not followed, and the top-level backup
// directories are left out. Paths are absolute.
QStringList walkFiles(const QString &root)
{
    QStringList files;
    const QString backups = root + QLatin1Char('/') + QLatin1String(InstallationBackup::kMarker);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.startsWith(backups))
            files << path;
    }
    return files;
}

// Path below root, with forward slashes. The walk yields root + "/" + rel,
// so the cheap cut is almost always enough.
QString relativeTo(const QString &root, const QString &path)
{
    if (path.size() > root.size() + 1 && path.startsWith(root) && path.at(root.size()) == QLatin1Char('/'))
        return path.mid(root.size() + 1);
    return QDir(root).relativeFilePath(path);
}

// Whether a file that could not be written back holds the backup's bytes all
// the same (it never changed, say, because the unpack failed on it).
bool sameContents(const QString &a, const QString &b)
{
    QFile x(a), y(b);
    if (!QFileInfo(b).isFile() || QFileInfo(b).isSymLink() || !x.open(QIODevice::ReadOnly) || !y.open(QIODevice::ReadOnly)
        || x.size() != y.size())
        return false;
    while (!x.atEnd())
        if (x.read(1 << 20) != y.read(1 << 20))
            return false;
    return true;
}

// A directory the update made where the old version had a file: it holds no
// file any more once the new files are gone, and goes. False if anything stays.
bool removeEmptyDirectories(const QString &dir)
{
    const QDir d(dir);
    for (const QString &sub : d.entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks))
        removeEmptyDirectories(d.filePath(sub));
    return QDir().rmdir(dir);
}

// Creates each parent directory once instead of once per file.
class DirMaker
{
public:
    void ensureParentOf(const QString &file)
    {
        const QString dir = QFileInfo(file).absolutePath();
        if (!madeDirs.contains(dir)) {
            QDir().mkpath(dir);
            madeDirs.insert(dir);
        }
    }

private:
    QSet<QString> madeDirs;
};

} // namespace

bool InstallationBackup::create(const std::function<bool(QStringList *)> &touched, const Progress &progress)
{
    qDebug() << "创建备份到:" << dir;
    // Made new on the first attempt; a retry in this run reuses its own.
    if (!made && !dir.isEmpty()) {
        dir = createFreshDirectory(dir);
        made = !dir.isEmpty();
    }
    QStringList paths;
    if (dir.isEmpty() || !made || platform::isLink(platformPath(dir)) || !touched(&paths)) {
        qDebug() << "无法创建备份目录:" << dir;
        return false;
    }
    // What the update touches: the files it replaces or deletes are backed
    // up (and a file where it makes a directory), the files it adds listed.
    QStringList files;
    QSet<QString> seen;
    added.clear();
    const auto classify = [this, &files, &seen](const QString &rel) {
        QString prefix;
        for (const QString &part : rel.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            prefix += (prefix.isEmpty() ? QString() : QStringLiteral("/")) + part;
            if (seen.contains(prefix))
                continue;
            const QFileInfo existing(appDir + QLatin1Char('/') + prefix);
            if (existing.isFile() || existing.isSymLink()) {
                files << prefix;
                seen.insert(prefix);
            }
        }
        if (!seen.contains(rel)) {
            added << rel;
            seen.insert(rel);
        }
    };
    for (const QString &rel : paths)
        classify(rel);
    // The version it records goes back with the files it names.
    classify(QStringLiteral("config.ini"));
    copies.clear();
    copiesRecorded = false;
    // A crash from here on leaves a partial backup that the next start removes.
    if (!writeJournal(QStringLiteral("backup")))
        return false;

    const int total = files.size();
    DirMaker dirs;
    ProgressPacer pacer;
    platform::FlushPlan plan;
    platform::HashedCopier copier;
    int copied = 0, n = 0;
    for (const QString &rel : files) {
        ++n;
        const QString path = appDir + QLatin1Char('/') + rel;
        const QString target = dir + QLatin1Char('/') + rel;
        dirs.ensureParentOf(target);
        // A backup left by an earlier failed attempt of this run holds the
        // same, untouched files: replace them rather than fail on them.
        if (QFileInfo::exists(target))
            QFile::remove(target);
        if (copier.copy(platformPath(path), platformPath(target), platformPath(rel))) {
            ++copied;
            plan.wrote(platformPath(dir), platformPath(rel));
        } else {
            qDebug() << "备份文件失败:" << rel;
        }
        if (progress && pacer.due(n == total)) {
            const int percent = qMin(80, 75 + (5 * n) / total);
            progress(percent, QStringLiteral("Files: %1/%2 ").arg(n).arg(total));
        }
    }
    // Each copy's hash, of the bytes as they were copied.
    const auto hashed = copier.finish();
    for (const auto &h : hashed)
        copies.insert(QString::fromStdString(h.first), ApplyJournal::Copy{h.second.size, QByteArray::fromStdString(h.second.sha256), h.second.stamp});
    bool allCopied = copied == total && int(hashed.size()) == total;
    // The copies and their names survive a power cut before the journal says
    // they exist, the backup's own name in the installation too.
    plan.changed(platformPath(appDir), platformPath(QFileInfo(dir).fileName()));
    allCopied = plan.flush() && allCopied;
    copiesRecorded = allCopied;
    qDebug() << "备份完成，成功率:" << (allCopied ? "全部成功" : "部分失败") << "备份" << total << "个文件，新增" << added.size()
             << "个文件";
    return allCopied;
}

bool InstallationBackup::restore(const Progress &progress)
{
    qDebug() << "=== 开始恢复备份 ===";
    if (dir.isEmpty() || !QFileInfo(dir).isDir()) {
        qDebug() << "备份目录不存在或为空:" << dir;
        return false;
    }
    qDebug() << "从备份恢复:" << dir << "->" << appDir;

    // What the journal recorded; a journal of an older updater: what the backup holds.
    QStringList relPaths = copiesRecorded ? copies.keys() : QStringList();
    for (const QString &path : copiesRecorded ? QStringList() : walkFiles(dir))
        relPaths << relativeTo(dir, path);
    if (copiesRecorded) {
        // Every copy exactly as it reached the disk, or nothing is written back.
        // One this run wrote and nobody changed since is not read again: that
        // would read the page cache, not the disk.
        for (auto c = copies.cbegin(); c != copies.cend(); ++c) {
            const QString copy = dir + QLatin1Char('/') + c.key();
            if (!c->stamp.empty() && platform::fileStamp(platformPath(copy)) == c->stamp)
                continue;
            if (QFileInfo(copy).isSymLink() || QFileInfo(copy).size() != c->size || fileSha256(copy) != c->sha256) {
                qCritical() << "备份文件已损坏，不恢复任何文件:" << c.key();
                keep = true;
                return false;
            }
        }
    }
    const int total = relPaths.size();
    qDebug() << "备份文件数:" << total << "新增文件数:" << added.size();

    // What the update added goes, and what a killed writer left beside its
    // target; by handle, never through a link on the way.
    const std::string root = platformPath(appDir);
    const platform::OpenedDirectories once;
    platform::FlushPlan plan;
    for (int i = 0; i < added.size() + relPaths.size(); ++i) {
        const bool isAdded = i < added.size();
        const std::string rel = platformPath(isAdded ? added.at(i) : relPaths.at(i - added.size()));
        platform::removeFileBelow(root, platform::FileReplacement::pendingPath(rel));
        plan.changed(root, rel);
        const QFileInfo path(appDir + QLatin1Char('/') + QString::fromStdString(rel));
        if (isAdded && (path.isFile() || path.isSymLink()) && !platform::removeFileBelow(root, rel))
            qDebug() << "警告：无法删除文件:" << path.filePath();
    }

    int ok = 0;
    ProgressPacer pacer;
    for (const QString &rel : relPaths) {
        const QString source = dir + QLatin1Char('/') + rel;
        const QString target = appDir + QLatin1Char('/') + rel;
        const QFileInfo existing(target);
        if (existing.isDir() && !existing.isSymLink())
            removeEmptyDirectories(target);
        if (platform::copyFileBelow(platformPath(dir), root, platformPath(rel), platform::Existing::Replace)) {
            ++ok;
            plan.wrote(root, platformPath(rel));
            qDebug() << "恢复文件成功:" << rel;
        } else if (sameContents(source, target)) {
            ++ok;
            qDebug() << "文件无法写回，但内容与备份相同:" << rel;
        } else {
            qCritical() << "恢复文件失败:" << rel;
        }
        if (progress && pacer.due(&rel == &relPaths.last()))
            progress(90 + (10 * ok) / qMax(1, total), QStringLiteral("Restoring files (%1/%2)").arg(ok).arg(total));
    }
    // On disk before anyone (the journal's "committed") says it is restored.
    const bool durable = plan.flush();
    if (!durable)
        qCritical() << "恢复的文件无法写入磁盘";
    qDebug() << "恢复完成: 成功" << ok << "/" << total;
    if (ok < total || !durable)
        keep = true; // some files now exist only in the backup
    // Complete or not restored: a mixed installation is never called restored.
    return ok == total && durable;
}

void InstallationBackup::setTarget(const QString &installDir, const QString &version)
{
    appDir = installDir;
    newVersion = version;
    dir = appDir + QLatin1Char('/') + QLatin1String(kMarker)
          + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss"));
}

bool InstallationBackup::writeJournal(const QString &phase) const
{
    IniFile config;
    ApplyJournal journal{phase, appDir, dir, QString(), newVersion, added, copies, copiesRecorded};
    if (config.load(appDir + QStringLiteral("/config.ini")))
        journal.oldVersion = config.value(QStringLiteral("App"), QStringLiteral("Version"));
    if (journal.write())
        return true;
    qCritical() << "无法写入更新日志:" << ApplyJournal::pathFor(dir);
    return false;
}

void InstallationBackup::discard()
{
    if (keep)
        return;
    // Nothing to undo is on disk before any part of the backup goes: a kill
    // in between leaves a journal that says so, never half a backup to restore.
    if (!dir.isEmpty() && QFileInfo::exists(ApplyJournal::pathFor(dir)) && !writeJournal(QStringLiteral("committed"))) {
        keep = true;
        return;
    }
    // What stays of the backup keeps its journal: the next start removes the rest.
    if (removeWorkDir(dir, "清理备份目录:") && !dir.isEmpty() && QFile::remove(ApplyJournal::pathFor(dir)))
        platform::disarmBootRecovery(); // committed or rolled back
    made = false;
}
