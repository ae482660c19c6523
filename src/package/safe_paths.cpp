#include "package/safe_paths.h"

#include "platform/sha256.h"

#include <QFile>
#include <QFileInfo>

QString unsafeName(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("空的条目名");
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return QStringLiteral("绝对路径");
    if (name.size() >= 2 && name.at(1) == QLatin1Char(':'))
        return QStringLiteral("带盘符的路径");
    // ".." as a whole part, between separators of either kind.
    for (int at = name.indexOf(QLatin1String("..")); at >= 0; at = name.indexOf(QLatin1String(".."), at + 1)) {
        const bool starts = at == 0 || name.at(at - 1) == QLatin1Char('/') || name.at(at - 1) == QLatin1Char('\\');
        const bool ends = at + 2 == name.size() || name.at(at + 2) == QLatin1Char('/') || name.at(at + 2) == QLatin1Char('\\');
        if (starts && ends)
            return QStringLiteral("路径含有..");
    }
    return QString();
}

QString unplainPath(const QString &path)
{
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("路径含有反斜杠");
    for (const QString &part : path.split(QLatin1Char('/')))
        if (part.isEmpty() || part == QLatin1String("."))
            return QStringLiteral("路径含有空的或\".\"部分");
    return unsafeName(path);
}

QByteArray fileSha256(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    platform::Sha256 hash;
    QByteArray block(1 << 16, Qt::Uninitialized);
    for (qint64 n; (n = f.read(block.data(), block.size())) != 0;) {
        if (n < 0)
            return QByteArray();
        hash.add(block.constData(), std::size_t(n));
    }
    return QByteArray::fromStdString(hash.hex());
}

QString linkOnTheWay(const QString &root, const QString &rel)
{
    QString prefix = root;
    for (const QString &part : rel.split(QLatin1Char('/'))) {
        prefix += QLatin1Char('/') + part;
        if (QFileInfo(prefix).isSymLink())
            return prefix;
    }
    return QString();
}
