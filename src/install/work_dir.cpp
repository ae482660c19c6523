#include "install/work_dir.h"

#include "platform/native_path.h"
#include "platform/platform.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

QString createFreshDirectory(const QString &base)
{
    // Never reuse what is already there: someone else may have put it there.
    // A random part nobody can plant ahead; a few tries for a mere clash.
    QDir().mkpath(QFileInfo(base).absolutePath());
    for (int n = 0; n < 16; ++n) {
        const std::string suffix = platform::randomSuffix(8);
        const QString candidate = base + QLatin1Char('_') + QString::fromStdString(suffix);
        if (!suffix.empty() && platform::createPrivateDirectory(platformPath(candidate)))
            return candidate;
        if (suffix.empty() || (!QFileInfo::exists(candidate) && !platform::isLink(platformPath(candidate))))
            break; // not a clash: the directory cannot be made at all
    }
    qWarning() << "无法创建目录:" << base;
    return QString();
}

bool removeWorkDir(const QString &path, const char *label)
{
    // A link put in the directory's place goes, never what it points to.
    if (path.isEmpty() || (!QFileInfo(path).isDir() && !platform::isLink(platformPath(path))))
        return true;
    qDebug() << label << path;
    return platform::removeTree(platformPath(path), platform::Owner::Elevated);
}
