#include "delta/delta.h"

#include "platform/sha256.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <zstd.h>

namespace delta {

const char kManifestName[] = "farwen-delta.json";
const char kFileListName[] = "farwen-files.json";

QByteArray fileListJson(const QList<QPair<QString, QPair<qint64, QByteArray>>> &files)
{
    QJsonArray list;
    for (const auto &f : files)
        list.append(QJsonObject{{QStringLiteral("path"), f.first},
                                {QStringLiteral("size"), double(f.second.first)},
                                {QStringLiteral("sha256"), QString::fromLatin1(f.second.second)}});
    return QJsonDocument(QJsonObject{{QStringLiteral("format"), 1}, {QStringLiteral("files"), list}}).toJson();
}

bool readFileList(const QByteArray &json, QStringList *paths)
{
    const QJsonValue files = QJsonDocument::fromJson(json).object().value(QStringLiteral("files"));
    for (const QJsonValue &f : files.toArray()) {
        const QString path = f.toObject().value(QStringLiteral("path")).toString();
        if (path.isEmpty())
            return false;
        *paths << path;
    }
    return files.isArray();
}

namespace {

const char *const kOps[] = {"add", "patch", "delete"};

// The smallest window that spans the reference and the new file.
int windowLogFor(qint64 bytes)
{
    int log = 10;
    while (log < 31 && (qint64(1) << log) < bytes) // 31: zstd's largest window on 64-bit
        ++log;
    return log;
}

} // namespace

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

QString Entry::stored() const
{
    return (op == Patch && !whole ? QStringLiteral("patches/") : QStringLiteral("files/")) + path
           + (op == Patch && !whole ? QStringLiteral(".zst") : QString());
}

QByteArray Manifest::toJson() const
{
    QJsonArray list;
    for (const Entry &e : entries) {
        QJsonObject o{{QStringLiteral("op"), QLatin1String(kOps[e.op])}, {QStringLiteral("path"), e.path}};
        if (e.op != Entry::Add) {
            o.insert(QStringLiteral("old_size"), e.oldSize);
            o.insert(QStringLiteral("old_sha256"), QString::fromLatin1(e.oldSha256));
        }
        if (e.op != Entry::Delete) {
            o.insert(QStringLiteral("new_size"), e.newSize);
            o.insert(QStringLiteral("new_sha256"), QString::fromLatin1(e.newSha256));
        }
        if (e.whole)
            o.insert(QStringLiteral("whole"), true);
        if (e.executable)
            o.insert(QStringLiteral("executable"), true);
        if (!e.from.isEmpty())
            o.insert(QStringLiteral("from"), e.from);
        list.append(o);
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("format"), format}, {QStringLiteral("files"), list}}).toJson();
}

bool Manifest::fromJson(const QByteArray &json, QString *reason)
{
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    format = root.value(QStringLiteral("format")).toInt();
    entries.clear();
    if (format != 1) {
        *reason = QStringLiteral("差分清单格式未知: %1").arg(format);
        return false;
    }
    const QJsonValue files = root.value(QStringLiteral("files"));
    if (!files.isArray()) {
        *reason = QStringLiteral("差分清单的files不是数组");
        return false;
    }
    QSet<QString> seen;
    for (const QJsonValue &v : files.toArray()) {
        if (!v.isObject()) {
            *reason = QStringLiteral("差分清单条目无效");
            return false;
        }
        const QJsonObject o = v.toObject();
        Entry e;
        const QString op = o.value(QStringLiteral("op")).toString();
        e.op = op == QLatin1String("patch") ? Entry::Patch : op == QLatin1String("delete") ? Entry::Delete : Entry::Add;
        e.path = o.value(QStringLiteral("path")).toString();
        e.oldSize = qint64(o.value(QStringLiteral("old_size")).toDouble(-1));
        e.oldSha256 = o.value(QStringLiteral("old_sha256")).toString().toLatin1().toLower();
        e.newSize = qint64(o.value(QStringLiteral("new_size")).toDouble(-1));
        e.newSha256 = o.value(QStringLiteral("new_sha256")).toString().toLatin1().toLower();
        e.whole = o.value(QStringLiteral("whole")).toBool();
        e.executable = o.value(QStringLiteral("executable")).toBool();
        e.from = o.value(QStringLiteral("from")).toString();
        const bool needsOld = e.op != Entry::Add, needsNew = e.op != Entry::Delete;
        if ((op != QLatin1String(kOps[e.op])) || e.path.isEmpty() || (needsOld && (e.oldSize < 0 || e.oldSha256.size() != 64))
            || (needsNew && (e.newSize < 0 || e.newSha256.size() != 64))) {
            *reason = QStringLiteral("差分清单条目无效: %1").arg(e.path);
            return false;
        }
        // The archive's rules, and one name per file on a case-blind disk.
        for (const QString &path : {e.path, e.from}) {
            const QString unsafe = unplainPath(path);
            if (!path.isEmpty() && !unsafe.isEmpty()) {
                *reason = QStringLiteral("差分清单路径不安全: %1 %2").arg(path, unsafe);
                return false;
            }
        }
        if (!e.from.isEmpty() && e.op != Entry::Patch) {
            *reason = QStringLiteral("差分清单条目无效: %1").arg(e.path);
            return false;
        }
        if (seen.contains(e.path.toLower())) {
            *reason = QStringLiteral("差分清单路径重复: %1").arg(e.path);
            return false;
        }
        seen.insert(e.path.toLower());
        entries.append(e);
    }
    if (entries.isEmpty()) {
        *reason = QStringLiteral("差分包不改变任何文件");
        return false;
    }
    return true;
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

QVector<Piece> patchPieces(qint64 oldSize, qint64 newSize)
{
    if (oldSize <= kWholeReferenceSize && newSize <= kWholeReferenceSize)
        return {{0, newSize, 0, oldSize}};
    const qint64 piece = qint64(32) << 20, margin = qint64(32) << 20;
    QVector<Piece> out;
    for (qint64 at = 0; at < newSize; at += piece) {
        // Where the piece lies in the old file, the sizes scaled: an insertion
        // or removal of up to the margin still finds its bytes.
        const qint64 mid = qint64(double(at) * double(oldSize) / double(newSize));
        Piece p;
        p.at = at;
        p.size = qMin(piece, newSize - at);
        const qint64 end = qBound<qint64>(0, mid + p.size + margin, oldSize);
        p.refAt = qBound<qint64>(0, mid - margin, end);
        p.refSize = end - p.refAt;
        out.append(p);
    }
    return out;
}

QByteArray makePatch(const QByteArray &old, const QByteArray &next)
{
    const QVector<Piece> pieces = patchPieces(old.size(), next.size());
    QByteArray out;
    ZSTD_CCtx *c = ZSTD_createCCtx();
    for (const Piece &p : pieces) {
        ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
        // The optimal parser (19) finds the most in a file's own reference; for
        // pieces of large files 12 does as well at a hundredth of the time.
        ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, pieces.size() == 1 ? 19 : 12);
        ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLogFor(p.refSize + p.size));
        ZSTD_CCtx_refPrefix(c, old.constData() + p.refAt, size_t(p.refSize));
        const qint64 start = out.size(), bound = qint64(ZSTD_compressBound(size_t(p.size)));
        if (start + bound >= (qint64(1) << 31) - 64) { // beyond what one byte array holds
            out.clear();
            break;
        }
        out.resize(int(start + bound));
        const size_t n = ZSTD_compress2(c, out.data() + start, size_t(bound), next.constData() + p.at, size_t(p.size));
        if (ZSTD_isError(n)) {
            out.clear();
            break;
        }
        out.resize(int(start + qint64(n)));
    }
    ZSTD_freeCCtx(c);
    return out;
}

} // namespace delta

namespace delta {

PatchStream::~PatchStream()
{
    ZSTD_freeDCtx(d);
}

bool PatchStream::begin(const QString &oldPath, qint64 newSize)
{
    ZSTD_freeDCtx(d);
    d = ZSTD_createDCtx();
    old.close();
    reference = nullptr;
    old.setFileName(oldPath);
    if (newSize < 0 || !d || !old.open(QIODevice::ReadOnly))
        return false;
    pieces = patchPieces(old.size(), newSize);
    next = 0;
    inFrame = false;
    expected = newSize;
    produced = 0;
    buffer.resize(int(ZSTD_DStreamOutSize()));
    return true;
}

// The next frame's reference mapped, and no larger a window allowed than
// that piece needs: a hostile frame cannot make the updater allocate more.
bool PatchStream::startPiece()
{
    if (next >= pieces.size())
        return false;
    const Piece &p = pieces.at(next);
    if (p.refSize && !(reference = old.map(p.refAt, p.refSize)))
        return false;
    inFrame = true;
    return !ZSTD_isError(ZSTD_DCtx_reset(d, ZSTD_reset_session_only))
           && !ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, windowLogFor(p.refSize + p.size)))
           && !ZSTD_isError(ZSTD_DCtx_refPrefix(d, reference, size_t(p.refSize)));
}

bool PatchStream::feed(const char *data, size_t size, const std::function<bool(const char *, size_t)> &out)
{
    ZSTD_inBuffer in{data, size, 0};
    while (d && in.pos < in.size) {
        if (!inFrame && !startPiece()) // bytes after the last frame are no part of a patch
            return false;
        const qint64 end = pieces.at(next).at + pieces.at(next).size;
        ZSTD_outBuffer o{buffer.data(), size_t(buffer.size()), 0};
        const size_t r = ZSTD_decompressStream(d, &o, &in);
        if (ZSTD_isError(r))
            return false;
        produced += qint64(o.pos);
        if (produced > end || (o.pos && !out(buffer.constData(), o.pos)))
            return false;
        if (r == 0) { // a frame ends only at its piece's end
            if (produced != end)
                return false;
            inFrame = false;
            old.unmap(reference);
            reference = nullptr;
            ++next;
        }
    }
    return d;
}

} // namespace delta
