#pragma once
// Every file below a directory (hidden ones included) with its bytes, for
// byte-for-byte comparisons of installation trees.
#include <QDir>
#include <QDataStream>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <zlib.h>

// A file's bytes; empty when it cannot be read.
inline QByteArray readTreeFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QMap<QString, QByteArray> snapshotTree(const QString &root, const QString &skipContaining = QString())
{
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!skipContaining.isEmpty() && path.contains(skipContaining))
            continue;
        out.insert(QDir(root).relativeFilePath(path), readTreeFile(path));
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
// Made as on Windows (no Unix modes), or made on Unix.
inline QByteArray zipOf(const QMap<QString, QByteArray> &entries, bool madeOnUnix = false)
{
    QByteArray out, central;
    QDataStream o(&out, QIODevice::WriteOnly), c(&central, QIODevice::WriteOnly);
    o.setByteOrder(QDataStream::LittleEndian);
    c.setByteOrder(QDataStream::LittleEndian);
    for (auto e = entries.begin(); e != entries.end(); ++e) {
        const QByteArray name = e.key().toUtf8();
        const quint32 size = quint32(e.value().size()), offset = quint32(o.device()->pos());
        const quint32 crc = quint32(crc32(0, reinterpret_cast<const Bytef *>(e.value().constData()), uInt(size)));
        const quint16 utf8 = name.size() == e.key().size() ? 0 : 0x800; // longer in UTF-8: not ASCII
        // Version 2.0 made by MS-DOS, stored, 1980-01-01, then for the directory the archive bit alone.
        const auto common = [&](QDataStream &d) { d << quint16(20) << utf8 << quint32(0) << quint16(0x21) << crc << size << size << quint16(name.size()) << quint16(0); };
        common(o << quint32(0x04034b50));
        o.writeRawData(name.constData(), name.size());
        o.writeRawData(e.value().constData(), e.value().size());
        common(c << quint32(0x02014b50) << quint16(madeOnUnix ? 0x314 : 20));
        c << quint16(0) << quint16(0) << quint16(0) << quint32(madeOnUnix ? 0x81A40020 : 0x20) << offset; // Unix: a file, 0644
        c.writeRawData(name.constData(), name.size());
    }
    const quint32 at = quint32(o.device()->pos());
    o.writeRawData(central.constData(), central.size());
    o << quint32(0x06054b50) << quint32(0) << quint16(entries.size()) << quint16(entries.size()) << quint32(central.size()) << at
      << quint16(0);
    return out;
}
