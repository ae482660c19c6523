#include "download/download_cache.h"

#include "platform/platform.h"
#include "platform/native_path.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

const qint64 kMaxAgeSeconds = 7 * 24 * 3600;

// Inside the lock's directory, which is the elevated user's alone.
QString cacheDir(const QString &dataRoot)
{
    return dataRoot + QStringLiteral("/FarwenUpdater/cache");
}

} // namespace

bool DownloadCache::open(const QString &dataRoot, const QString &url, const QString &sha256)
{
    const QString dir = cacheDir(dataRoot);
    for (const QString &level : {QFileInfo(dir).path(), dir})
        if (!QFileInfo::exists(level) && !QFileInfo(level).isSymLink())
            platform::createPrivateDirectory(platformPath(level));
    if (!QFileInfo(dir).isDir() || platform::isLink(platformPath(dir)))
        return false;
    const QByteArray key = QCryptographicHash::hash((url + QLatin1Char('\n') + sha256.toLower()).toUtf8(),
                                                    QCryptographicHash::Sha256).toHex().left(32);
    base = dir + QLatin1Char('/') + QString::fromLatin1(key);
    return true;
}

qint64 DownloadCache::resumableBytes(QByteArray *validator) const
{
    QFile saved(base + QStringLiteral(".validator"));
    *validator = saved.open(QIODevice::ReadOnly) ? saved.read(1024).trimmed() : QByteArray();
    const QFileInfo partial(partialPath());
    return validator->isEmpty() || !partial.isFile() || partial.isSymLink() ? 0 : partial.size();
}

void DownloadCache::saveValidator(const QByteArray &validator) const
{
    QSaveFile f(base + QStringLiteral(".validator"));
    if (f.open(QIODevice::WriteOnly) && f.write(validator) == validator.size())
        f.commit();
}

void DownloadCache::remove() const
{
    if (base.isEmpty())
        return;
    QFile::remove(partialPath());
    QFile::remove(base + QStringLiteral(".validator"));
}

void DownloadCache::forgetValidator() const
{
    if (!base.isEmpty())
        QFile::remove(base + QStringLiteral(".validator"));
}

void DownloadCache::removeExpired(const QString &dataRoot)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const QFileInfo &entry : QDir(cacheDir(dataRoot)).entryInfoList(QDir::Files | QDir::System | QDir::Hidden))
        if (entry.lastModified().secsTo(now) > kMaxAgeSeconds)
            platform::removeTree(platformPath(entry.absoluteFilePath()), platform::Owner::Elevated);
}
