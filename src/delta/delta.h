#pragma once
// What the publisher's tool and the updater share about delta packages: the
// manifest, zstd patches against the old file, and file hashes.
#include <QByteArray>
#include <QString>
#include <QVector>

namespace delta {

// The manifest's name at the top of a delta package.
extern const char kManifestName[];

struct Entry
{
    enum Op { Add, Patch, Delete };
    Op op = Add;
    QString path;           // inside the installation, forward slashes
    qint64 oldSize = -1;    // patch, delete
    QByteArray oldSha256;   // hex
    qint64 newSize = -1;    // add, patch
    QByteArray newSha256;   // hex
    bool whole = false;     // a patch stored as the whole new file (no smaller as a patch)
    bool executable = false; // the new file's mode says so
    // The package entry holding the new bytes (add) or the patch (patch).
    QString stored() const;
};

struct Manifest
{
    int format = 1;
    QVector<Entry> entries;
    QByteArray toJson() const;
    // False with the reason when the text is not a manifest this updater
    // reads: `files` an array of well-formed entries, paths relative and
    // inside the installation, none twice (case ignored), no backslash.
    bool fromJson(const QByteArray &json, QString *reason);
};

// Why a name in a package, a manifest or a journal could land outside the
// installation (absolute, a drive letter, ".." as a part); empty when it cannot.
QString unsafeName(const QString &name);

// SHA-256 of a file (hex); empty when it cannot be read.
QByteArray fileSha256(const QString &path);

// A zstd frame that rebuilds `next` from `old` (old as the reference prefix,
// long-distance matching, a window covering both), and the way back.
QByteArray makePatch(const QByteArray &old, const QByteArray &next);
bool applyPatch(const QByteArray &old, const QByteArray &patch, qint64 newSize, QByteArray *next);

} // namespace delta
