#include "delta/delta.h"

#include "package/safe_paths.h"

#include "platform/sha256.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QHash>
#include <QSet>

#include <zstd.h>

#include <cstring>

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
const char *const kKinds[] = {"zstd", "bsdiff"};

// The smallest window that spans the reference and the new file.
int windowLogFor(qint64 bytes)
{
    int log = 10;
    while (log < 31 && (qint64(1) << log) < bytes) // 31: zstd's largest window on 64-bit
        ++log;
    return log;
}

} // namespace

QString Entry::stored() const
{
    if (op != Patch || whole)
        return QStringLiteral("files/") + path;
    const QString kindName = kind == Bsdiff ? QStringLiteral(".bsdiff") : QStringLiteral(".zst");
    return group ? QStringLiteral("patches/group-%1").arg(group) + kindName : QStringLiteral("patches/") + path + kindName;
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
        else if (e.op == Entry::Patch)
            o.insert(QStringLiteral("patch"), QLatin1String(kKinds[e.kind]));
        if (e.executable)
            o.insert(QStringLiteral("executable"), true);
        if (!e.from.isEmpty())
            o.insert(QStringLiteral("from"), e.from);
        if (e.group)
            o.insert(QStringLiteral("group"), e.group);
        list.append(o);
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("format"), format}, {QStringLiteral("files"), list}}).toJson();
}

bool Manifest::fromJson(const QByteArray &json, QString *reason)
{
    const QJsonObject root = QJsonDocument::fromJson(json).object();
    format = root.value(QStringLiteral("format")).toInt();
    entries.clear();
    if (format != 1 && format != 2) {
        *reason = QStringLiteral("差分清单格式未知: %1").arg(format);
        return false;
    }
    const QJsonValue files = root.value(QStringLiteral("files"));
    if (!files.isArray()) {
        *reason = QStringLiteral("差分清单的files不是数组");
        return false;
    }
    QSet<QString> seen;
    QHash<int, Entry::Kind> groupKinds;
    QHash<int, QPair<int, qint64>> groupOld; // each group's old files: how many, their bytes
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
        const QJsonValue group = o.value(QStringLiteral("group"));
        const double g = group.toDouble(-1);
        e.group = group.isUndefined() ? 0 : g >= 1 && g <= 1e6 && g == double(int(g)) ? int(g) : -1;
        // Packages from before patches named their kind hold zstd ones.
        const QString kind = o.value(QStringLiteral("patch")).toString(QLatin1String(kKinds[Entry::Zstd]));
        e.kind = kind == QLatin1String(kKinds[Entry::Bsdiff]) ? Entry::Bsdiff : Entry::Zstd;
        if (kind != QLatin1String(kKinds[e.kind])) {
            *reason = QStringLiteral("差分清单的补丁类型未知: %1 %2").arg(e.path, kind);
            return false;
        }
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
        // In format 2 every patch is in a group, of one kind, its old files no more than one
        // whole reference together (a file alone is patched in pieces); nothing else is.
        const bool grouped = format == 2 && e.op == Entry::Patch && !e.whole;
        if (grouped) {
            ++groupOld[e.group].first;
            groupOld[e.group].second += e.oldSize;
        }
        const bool heldWhole = groupOld.value(e.group).first > 1; // a group of files is read whole; one alone in pieces
        if ((!e.from.isEmpty() && e.op != Entry::Patch) || e.group < 0 || (e.group > 0) != grouped
            || groupKinds.value(e.group, e.kind) != e.kind
            || (heldWhole && groupOld.value(e.group).second > kWholeReferenceSize)) {
            *reason = QStringLiteral("差分清单条目无效: %1").arg(e.path);
            return false;
        }
        if (e.group)
            groupKinds.insert(e.group, e.kind);
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

namespace {

void putLE(QByteArray *out, quint64 v, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out->append(char((v >> (8 * i)) & 0xff));
}

quint64 getLE(const char *p, int bytes)
{
    quint64 v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | uchar(p[i]);
    return v;
}

const int kRecordSize = 24;

} // namespace

QByteArray packBsdiff(const QVector<BsdiffRecord> &records, const QByteArray &diff, const QByteArray &extra)
{
    QByteArray out, control;
    qint64 diffAt = 0, extraAt = 0, blockDiff = 0, blockExtra = 0;
    ZSTD_CCtx *c = ZSTD_createCCtx();
    bool ok = c;
    const auto frame = [&](const char *data, qint64 size) {
        QByteArray f(int(ZSTD_compressBound(size_t(size))), Qt::Uninitialized);
        const size_t n = ZSTD_compressCCtx(c, f.data(), size_t(f.size()), data, size_t(size), 22);
        ok = ok && !ZSTD_isError(n);
        f.resize(ok ? int(n) : 0);
        return f;
    };
    const auto endBlock = [&]() {
        const QByteArray parts[] = {frame(control.constData(), control.size()), frame(diff.constData() + diffAt, blockDiff),
                                    frame(extra.constData() + extraAt, blockExtra)};
        for (const QByteArray &part : parts)
            putLE(&out, quint64(part.size()), 4);
        for (const QByteArray &part : parts)
            out += part;
        diffAt += blockDiff;
        extraAt += blockExtra;
        blockDiff = blockExtra = 0;
        control.clear();
    };
    // A record split where a block ends: the old file's position moves only after its last part.
    for (BsdiffRecord r : records) {
        while (ok && (r.add || r.copy || r.seek)) {
            const qint64 room = kBsdiffBlock - blockDiff - blockExtra;
            const qint64 add = qMin(r.add, room), copy = qMin(r.copy, room - add);
            const bool last = add == r.add && copy == r.copy;
            putLE(&control, quint64(add), 8);
            putLE(&control, quint64(copy), 8);
            putLE(&control, quint64(last ? r.seek : 0), 8);
            blockDiff += add;
            blockExtra += copy;
            r.add -= add;
            r.copy -= copy;
            if (last)
                r.seek = 0;
            if (blockDiff + blockExtra == kBsdiffBlock || control.size() == kBsdiffRecordsPerBlock * kRecordSize)
                endBlock();
        }
    }
    if (!control.isEmpty())
        endBlock();
    ZSTD_freeCCtx(c);
    return ok && diffAt == diff.size() && extraAt == extra.size() ? out : QByteArray();
}

} // namespace delta

namespace delta {

PatchStream::~PatchStream()
{
    ZSTD_freeDCtx(d);
}

bool PatchStream::begin(const QStringList &oldPaths, qint64 newSize, Entry::Kind patchKind)
{
    kind = patchKind;
    pending.clear();
    oldAt = 0;
    ZSTD_freeDCtx(d);
    d = ZSTD_createDCtx();
    unmapReference(); // the last patch's old file or group let go
    old.close();
    joined.clear();
    isJoined = false;
    if (newSize < 0 || !d || oldPaths.isEmpty())
        return false;
    old.setFileName(oldPaths.first());
    if (oldPaths.size() == 1) {
        if (!old.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
            return false;
        oldSize = old.size();
    } else { // a group's files end to end, in memory: no larger than one whole reference
        isJoined = true;
        for (const QString &path : oldPaths) { // read in place (a large block grows by remapping, not copying)
            QFile part(path);
            const int at = joined.size();
            if (!part.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || at + part.size() > kWholeReferenceSize)
                return false;
            joined.resize(at + int(part.size()));
            if (part.read(joined.data() + at, part.size()) != part.size())
                return false;
        }
        oldSize = joined.size();
    }
    pieces = patchPieces(oldSize, newSize);
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
    if (isJoined)
        reference = reinterpret_cast<uchar *>(joined.data()) + p.refAt;
    else if (p.refSize && !(reference = old.map(p.refAt, p.refSize)))
        return false;
    inFrame = true;
    return !ZSTD_isError(ZSTD_DCtx_reset(d, ZSTD_reset_session_only))
           && !ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, windowLogFor(p.refSize + p.size)))
           && !ZSTD_isError(ZSTD_DCtx_refPrefix(d, reference, size_t(p.refSize)));
}

bool PatchStream::feed(const char *data, size_t size, const std::function<bool(const char *, size_t)> &out)
{
    if (kind == Entry::Bsdiff)
        return feedBsdiff(data, size, out);
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
            unmapReference();
            ++next;
        }
    }
    return d;
}

// A block is taken whole, at most three frames of one block's bytes: the
// updater holds a block, never a file.
bool PatchStream::feedBsdiff(const char *data, size_t size, const std::function<bool(const char *, size_t)> &out)
{
    pending.append(data, int(size));
    while (d && pending.size() >= 12) {
        const quint32 sizes[3] = {quint32(getLE(pending.constData(), 4)), quint32(getLE(pending.constData() + 4, 4)),
                                  quint32(getLE(pending.constData() + 8, 4))};
        const qint64 bound = qint64(ZSTD_compressBound(size_t(kBsdiffBlock))), total = 12 + qint64(sizes[0]) + sizes[1] + sizes[2];
        if (sizes[0] > bound || sizes[1] > bound || sizes[2] > bound)
            return false;
        if (pending.size() < total)
            return true;
        if (!applyBlock(pending.constData() + 12, sizes, out))
            return false;
        pending.remove(0, int(total));
    }
    return d;
}

namespace {

// One frame of exactly the size expected, decompressed into `to`.
bool decompressExactly(ZSTD_DCtx *d, QByteArray *to, qint64 size, const char *frame, size_t frameSize)
{
    to->resize(int(size));
    return ZSTD_findFrameCompressedSize(frame, frameSize) == frameSize
           && ZSTD_decompressDCtx(d, to->data(), size_t(size), frame, frameSize) == size_t(size);
}

} // namespace

bool PatchStream::applyBlock(const char *block, const quint32 *sizes, const std::function<bool(const char *, size_t)> &out)
{
    // At most one block's records and bytes, and no more than the file lacks.
    QByteArray control;
    const quint64 maxControl = quint64(kBsdiffRecordsPerBlock) * kRecordSize;
    if (!decompressExactly(d, &control, qint64(qMin<quint64>(ZSTD_getFrameContentSize(block, sizes[0]), maxControl)), block, sizes[0])
        || control.size() % kRecordSize)
        return false;
    QVector<BsdiffRecord> records;
    quint64 room = quint64(qMin(kBsdiffBlock, expected - produced)), adds = 0, copies = 0;
    for (int at = 0; at < control.size(); at += kRecordSize) {
        const quint64 add = getLE(control.constData() + at, 8), copy = getLE(control.constData() + at + 8, 8);
        if (add > room || copy > room - add)
            return false;
        room -= add + copy;
        adds += add;
        copies += copy;
        records.append({qint64(add), qint64(copy), qint64(getLE(control.constData() + at + 16, 8))});
    }
    if (!decompressExactly(d, &diff, qint64(adds), block + sizes[0], sizes[1])
        || !decompressExactly(d, &extra, qint64(copies), block + sizes[0] + sizes[1], sizes[2]))
        return false;
    qint64 diffAt = 0, extraAt = 0;
    QByteArray bytes(1 << 16, Qt::Uninitialized);
    for (const BsdiffRecord &r : records) {
        // The old file's bytes, read as they are needed, plus the differences.
        if (r.add && !isJoined && !old.seek(oldAt))
            return false;
        for (qint64 done = 0; done < r.add;) {
            qint64 n = qMin<qint64>(bytes.size(), r.add - done);
            if (!isJoined)
                n = old.read(bytes.data(), n);
            else if ((n = qMin(n, oldSize - oldAt - done)) > 0) // none past the end, as a file's read
                memcpy(bytes.data(), joined.constData() + oldAt + done, size_t(n));
            if (n <= 0)
                return false;
            char *to = diff.data() + diffAt + done;
            const char *from = bytes.constData();
            for (qint64 i = 0; i < n; ++i)
                to[i] = char(uchar(to[i]) + uchar(from[i]));
            done += n;
        }
        if ((r.add && !out(diff.constData() + diffAt, size_t(r.add))) || (r.copy && !out(extra.constData() + extraAt, size_t(r.copy))))
            return false;
        diffAt += r.add;
        extraAt += r.copy;
        produced += r.add + r.copy;
        // The next position inside the old file, checked before it could overflow.
        if (r.seek < -(oldAt + r.add) || r.seek > oldSize - oldAt - r.add)
            return false;
        oldAt += r.add + r.seek;
    }
    return true;
}

} // namespace delta
