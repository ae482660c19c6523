#pragma once
// Every file below a directory (hidden ones included) with its bytes, for
// byte-for-byte comparisons of installation trees.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>

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

// A ZIP archive of the given entries (name -> content), names taken exactly as
// given, unsafe ones too; stored uncompressed, so contents can be found in it.
// Made as on Windows: no Unix modes.
inline QByteArray zipOf(const QList<QPair<QString, QByteArray>> &entries)
{
    QStringList args{"-c", "import io, sys, zipfile\nb = io.BytesIO(); z = zipfile.ZipFile(b, 'w'); d = sys.stdin.buffer.read()\n"
                           "for n, l in zip(sys.argv[1::2], sys.argv[2::2]):\n"
                           " i = zipfile.ZipInfo(n); i.create_system = 0; i.external_attr = 0x20; z.writestr(i, d[:int(l)]); d = d[int(l):]\n"
                           "z.close(); sys.stdout.buffer.write(b.getvalue())"};
    QByteArray contents;
    for (const auto &e : entries) {
        args << e.first << QString::number(e.second.size());
        contents += e.second;
    }
    QProcess python;
    python.start("python3", args);
    python.write(contents);
    python.closeWriteChannel();
    python.waitForFinished();
    return python.readAllStandardOutput();
}
