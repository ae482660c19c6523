#pragma once
// Every file below a directory (hidden ones included) with its bytes, for
// byte-for-byte comparisons of installation trees.
#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QString>

inline QMap<QString, QByteArray> snapshotTree(const QString &root, const QString &skipContaining = QString())
{
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!skipContaining.isEmpty() && path.contains(skipContaining))
            continue;
        QFile f(path);
        f.open(QIODevice::ReadOnly);
        out.insert(QDir(root).relativeFilePath(path), f.readAll());
    }
    return out;
}

inline void writeTreeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(content);
}
