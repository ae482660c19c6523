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

QByteArray makePatch(const QByteArray &old, const QByteArray &next)
{
    ZSTD_CCtx *c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, windowLogFor(old.size() + next.size()));
    ZSTD_CCtx_refPrefix(c, old.constData(), size_t(old.size()));
    QByteArray out(int(ZSTD_compressBound(size_t(next.size()))), Qt::Uninitialized);
    const size_t n = ZSTD_compress2(c, out.data(), size_t(out.size()), next.constData(), size_t(next.size()));
    ZSTD_freeCCtx(c);
    if (ZSTD_isError(n))
        return QByteArray();
    out.resize(int(n));
    return out;
}

} // namespace delta

namespace delta {

PatchStream::~PatchStream()
{
    ZSTD_freeDCtx(d);
}

bool PatchStream::begin(const QByteArray &old, qint64 newSize)
{
    if (newSize < 0 || old.size() > kMaxPatchedSize || newSize > kMaxPatchedSize)
        return false;
    ZSTD_freeDCtx(d);
    d = ZSTD_createDCtx();
    reference = old; // the reference must outlive the frame
    expected = newSize;
    produced = 0;
    ended = false;
    buffer.resize(int(ZSTD_DStreamOutSize()));
    return d && !ZSTD_isError(ZSTD_DCtx_setParameter(d, ZSTD_d_windowLogMax, windowLogFor(old.size() + newSize)))
           && !ZSTD_isError(ZSTD_DCtx_refPrefix(d, reference.constData(), size_t(reference.size())));
}

bool PatchStream::feed(const char *data, size_t size, const std::function<bool(const char *, size_t)> &out)
{
    ZSTD_inBuffer in{data, size, 0};
    while (d && !ended && in.pos < in.size) {
        ZSTD_outBuffer o{buffer.data(), size_t(buffer.size()), 0};
        const size_t r = ZSTD_decompressStream(d, &o, &in);
        if (ZSTD_isError(r))
            return false;
        produced += qint64(o.pos);
        if (produced > expected || (o.pos && !out(buffer.constData(), o.pos)))
            return false;
        ended = r == 0;
    }
    // Bytes after the frame are no part of a patch.
    return d && in.pos == in.size;
}

} // namespace delta
