#pragma once
// What the publisher's tool and the updater share about delta packages: the
// manifest, zstd patches against the old file, and file hashes.
#include <QByteArray>
#include <QFile>
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
    // How a patch rebuilds the file: zstd frames against the old file, or
    // bsdiff's records of bytes added to the old file's and bytes new to it.
    enum Kind { Zstd, Bsdiff };
    Kind kind = Zstd;
    bool executable = false; // the new file's mode says so
    QString from;           // a patch against another old file: the file moved or renamed
    // Patches of one group are one patch: from the group's old files end to
    // end, in the manifest's order, to its new files end to end, so that what
    // files share travels once (format 2; 0 for a file patched alone).
    int group = 0;
    // The old file a patch is made against.
    QString source() const { return from.isEmpty() ? path : from; }
    // The package entry holding the new bytes (add) or the patch (patch).
    QString stored() const;
};

struct Manifest
{
    // 1: each patch a file's own; 2: patches in groups. Format 1 updaters
    // refuse format 2.
    int format = 1;
    QVector<Entry> entries;
    QByteArray toJson() const;
    // False with the reason when the text is not a manifest this updater
    // reads: `files` an array of well-formed entries, paths relative and
    // inside the installation, none twice (case ignored), no backslash.
    bool fromJson(const QByteArray &json, QString *reason);
};

// Files up to this size are patched against the whole old file in one zstd
// frame; larger ones a piece at a time, each piece of the new file against
// the stretch of the old one around where it lies, so that the updater never
// holds either file whole (at most 96 MiB of reference and 32 MiB of window).
const qint64 kWholeReferenceSize = qint64(64) << 20;
struct Piece
{
    qint64 at = 0, size = 0;       // in the new file
    qint64 refAt = 0, refSize = 0; // in the old file
};
// The pieces of a patch from a file of oldSize bytes to one of newSize, in order.
QVector<Piece> patchPieces(qint64 oldSize, qint64 newSize);

// The zstd frames, one per piece, that rebuild `next` from `old` (long-distance
// matching, each window covering its reference and its piece); empty on failure.
QByteArray makePatch(const QByteArray &old, const QByteArray &next);

// A bsdiff patch: blocks of at most kBsdiffBlock new bytes, each three
// little-endian 32-bit sizes and then that many bytes of three zstd frames:
// the records (three little-endian 64-bit numbers: bytes added to the old
// file's, bytes copied from the extra frame, how far the old file's position
// then moves), the differences, the extra bytes.
const qint64 kBsdiffBlock = qint64(8) << 20;
const int kBsdiffRecordsPerBlock = 1 << 15;
struct BsdiffRecord
{
    qint64 add = 0, copy = 0, seek = 0;
};
// The blocks of the records with their differences and extra bytes; empty on failure.
QByteArray packBsdiff(const QVector<BsdiffRecord> &records, const QByteArray &diff, const QByteArray &extra);

// A patch applied as it is read: pieces of the patch go in, the new bytes
// come out in pieces. The old file is mapped a reference at a time and only
// while its frame lasts; nothing of either file is held whole.
class PatchStream
{
public:
    PatchStream() = default;
    PatchStream(const PatchStream &) = delete;
    PatchStream &operator=(const PatchStream &) = delete;
    ~PatchStream();
    // The old file, or a group's old files end to end (read into memory: at
    // most a whole reference).
    bool begin(const QStringList &oldPaths, qint64 newSize, Entry::Kind kind = Entry::Zstd);
    bool feed(const char *data, size_t size, const std::function<bool(const char *, size_t)> &out);
    // Every frame ended exactly at its piece's end, the last at the new file's
    // size; every bsdiff block whole.
    bool finish() const
    {
        return kind == Entry::Bsdiff ? pending.isEmpty() && produced == expected
                                     : next == pieces.size() && !inFrame && produced == expected;
    }

private:
    // The frame's stretch of the old file let go (a group's bytes stay).
    void unmapReference()
    {
        if (reference && !isJoined)
            old.unmap(reference);
        reference = nullptr;
    }
    bool startPiece();
    bool feedBsdiff(const char *data, size_t size, const std::function<bool(const char *, size_t)> &out);
    bool applyBlock(const char *block, const quint32 *sizes, const std::function<bool(const char *, size_t)> &out);

    ::ZSTD_DCtx_s *d = nullptr;
    QFile old;
    QByteArray joined; // a group's old files
    bool isJoined = false;
    qint64 oldSize = 0;
    uchar *reference = nullptr;
    QVector<Piece> pieces;
    int next = 0; // the piece the next frame rebuilds
    bool inFrame = false;
    QByteArray buffer;
    qint64 expected = 0, produced = 0;
    Entry::Kind kind = Entry::Zstd;
    QByteArray pending, diff, extra; // a bsdiff block as it comes, and its streams
    qint64 oldAt = 0;
};

} // namespace delta
