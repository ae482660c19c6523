#pragma once
// What the publisher's tool and the updater share about delta packages: the
// manifest, zstd patches against the old file, and file hashes.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

struct ZSTD_DCtx_s;

namespace delta {

// The manifest's name at the top of a delta package.
extern const char kManifestName[];
// The list of a version's files (path, size, SHA-256) at the top of every
// package and, once installed, of the installation: what an update removes.
extern const char kFileListName[];
QByteArray fileListJson(const QList<QPair<QString, QPair<qint64, QByteArray>>> &files);
// The paths of a list; false when it is no list.
bool readFileList(const QByteArray &json, QStringList *paths);

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
    QString from;           // a patch against another old file: the file moved or renamed
    // The old file a patch is made against.
    QString source() const { return from.isEmpty() ? path : from; }
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
// The same for a path that a manifest or a file list names: also every part a
// name, spelt one way only (no empty or "." part, no backslash), so that rules
// on names compare what Windows and POSIX would open.
QString unplainPath(const QString &path);

// SHA-256 of a file (hex); empty when it cannot be read.
QByteArray fileSha256(const QString &path);

// A zstd frame that rebuilds `next` from `old` (old as the reference prefix,
// long-distance matching, a window covering both), and the way back.
QByteArray makePatch(const QByteArray &old, const QByteArray &next);

// The largest file the publisher's tool patches; larger ones travel whole
// and are streamed, never held in memory.
const qint64 kMaxPatchedSize = qint64(64) << 20;

// A patch applied as it is read: pieces of the patch go in, the new bytes
// come out in pieces, with the old file (in memory, at most kMaxPatchedSize
// here) as the reference. Nothing of the new file is held whole.
class PatchStream
{
public:
    PatchStream() = default;
    PatchStream(const PatchStream &) = delete;
    PatchStream &operator=(const PatchStream &) = delete;
    ~PatchStream();
    bool begin(const QByteArray &old, qint64 newSize);
    bool feed(const char *data, size_t size, const std::function<bool(const char *, size_t)> &out);
    // The frame ended exactly at the new file's size.
    bool finish() const { return ended && produced == expected; }

private:
    ::ZSTD_DCtx_s *d = nullptr;
    QByteArray reference, buffer;
    qint64 expected = 0, produced = 0;
    bool ended = false;
};

} // namespace delta
