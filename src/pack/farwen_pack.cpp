// The publisher's tool: makes full and delta packages the updater accepts,
// and checks a package as the updater will before it is published.
#include "delta/delta.h"
#include "download/signature.h"
#include "pack/bsdiff.h"
#include "package/delta_apply.h"
#include "package/checked_package.h"
#include "package/safe_paths.h"
#include "platform/platform.h"
#include "platform/native_path.h"
#include "shared/product_names.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>
#include <QTextStream>

#include <archive.h>
#include <archive_entry.h>

#include <functional>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

namespace {

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

struct TreeFile
{
    QString absolute;
    qint64 size = 0;
    bool executable = false;
    std::string id; // the entry listed: what is read later must be this one
};

// A listed file read through one handle that must be the very entry listed,
// with its listed size: a file swapped for a link or another file since
// (another user's secret, say) is never packaged.
bool readListed(const TreeFile &file, const std::function<bool(const char *, qint64)> &sink)
{
    platform::HeldFile in;
    if (!in.open(platformPath(file.absolute)).empty() || file.id.empty() || in.identity() != file.id) {
        err() << "changed since it was listed: " << file.absolute << Qt::endl;
        return false;
    }
    QByteArray block(1 << 20, Qt::Uninitialized);
    qint64 done = 0;
    long long n;
    for (; (n = in.read(block.data(), size_t(block.size()))) > 0; done += n)
        if (done + n > file.size || !sink(block.constData(), n))
            return false;
    if (n < 0 || done != file.size) {
        err() << "cannot read whole: " << file.absolute << Qt::endl;
        return false;
    }
    return true;
}

QByteArray listedSha256(const TreeFile &file)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return readListed(file, [&hash](const char *data, qint64 n) {
        hash.addData(data, int(n));
        return true;
    }) ? hash.result().toHex() : QByteArray();
}

// Every file of a tree by its path inside it, sorted; false, said, for links,
// unreadable entries and names the updater would refuse.
bool readTree(const QString &root, QMap<QString, TreeFile> *files)
{
    if (!QFileInfo(root).isDir()) {
        err() << "not a readable directory: " << root << Qt::endl;
        return false;
    }
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    bool mainAtTop = false, mainNested = false;
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString rel = QDir(root).relativeFilePath(info.absoluteFilePath());
        if (info.isSymLink()) {
            err() << "links cannot be packaged: " << rel << Qt::endl;
            return false;
        }
        if (rel.contains(QLatin1Char('\\')) || rel.contains(QLatin1Char(':')) || rel == QLatin1String(delta::kManifestName)
            || rel == QLatin1String(delta::kFileListName)) {
            err() << "a name the updater refuses: " << rel << Qt::endl;
            return false;
        }
        if (info.isDir())
            continue;
        if (!info.isFile() || !info.isReadable()) {
            err() << "not a readable file: " << rel << Qt::endl;
            return false;
        }
        if (info.fileName().compare(QLatin1String(product::kMainProgram), Qt::CaseInsensitive) == 0)
            (rel.contains(QLatin1Char('/')) ? mainNested : mainAtTop) = true;
        files->insert(rel, TreeFile{info.absoluteFilePath(), info.size(), info.isExecutable(),
                                    platform::fileIdentity(platformPath(info.absoluteFilePath()))});
    }
    if (mainNested && !mainAtTop) {
        err() << "the main program must lie at the top of the package" << Qt::endl;
        return false;
    }
    return true;
}

class ZipWriter
{
public:
    bool open(const QString &path)
    {
        a.reset(archive_write_new());
        return archive_write_set_format_zip(a.get()) == ARCHIVE_OK
               && archive_write_open_filename(a.get(), QFile::encodeName(path).constData()) == ARCHIVE_OK;
    }
    // Patches are compressed already: stored as they are, not deflated again.
    bool add(const QString &name, const QByteArray &bytes, bool executable, bool store = false)
    {
        if ((store ? archive_write_zip_set_compression_store(a.get()) : archive_write_zip_set_compression_deflate(a.get())) != ARCHIVE_OK)
            return false;
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname_utf8(e.get(), name.toUtf8().constData());
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), executable ? 0755 : 0644);
        archive_entry_set_size(e.get(), bytes.size());
        return archive_write_header(a.get(), e.get()) == ARCHIVE_OK
               && archive_write_data(a.get(), bytes.constData(), size_t(bytes.size())) == la_ssize_t(bytes.size());
    }
    // A file streamed in, a block at a time: any size, never held whole. It
    // must read to exactly the size it had when the tree was listed.
    bool addFile(const QString &name, const TreeFile &file)
    {
        if (archive_write_zip_set_compression_deflate(a.get()) != ARCHIVE_OK)
            return false;
        std::unique_ptr<archive_entry, decltype(&archive_entry_free)> e(archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname_utf8(e.get(), name.toUtf8().constData());
        archive_entry_set_filetype(e.get(), AE_IFREG);
        archive_entry_set_perm(e.get(), file.executable ? 0755 : 0644);
        archive_entry_set_size(e.get(), file.size);
        return archive_write_header(a.get(), e.get()) == ARCHIVE_OK
               && readListed(file, [this](const char *data, qint64 n) { return archive_write_data(a.get(), data, size_t(n)) == la_ssize_t(n); })
               && archive_write_finish_entry(a.get()) == ARCHIVE_OK;
    }
    bool close() { return archive_write_close(a.get()) == ARCHIVE_OK; }
    QString error() const { return QString::fromUtf8(archive_error_string(a.get())); }

private:
    struct Free
    {
        void operator()(archive *p) const { archive_write_free(p); }
    };
    std::unique_ptr<archive, Free> a;
};

// Both sides of a patch are read whole here, into byte arrays.
const qint64 kMaxPatchedSize = qint64(1) << 30;
// bsdiff sorts the old file's suffixes, four bytes each: up to 1 GiB of memory.
const qint64 kMaxBsdiffOldSize = qint64(256) << 20;

// The smaller of the two kinds of patch; empty when neither can be made.
QByteArray smallestPatch(const QByteArray &old, const QByteArray &next, bool zstdOnly, delta::Entry::Kind *kind)
{
    const QByteArray zstd = delta::makePatch(old, next);
    const QByteArray bsdiff = !zstdOnly && old.size() <= kMaxBsdiffOldSize ? makeBsdiffPatch(old, next) : QByteArray();
    *kind = !bsdiff.isEmpty() && (zstd.isEmpty() || bsdiff.size() < zstd.size()) ? delta::Entry::Bsdiff : delta::Entry::Zstd;
    return *kind == delta::Entry::Bsdiff ? bsdiff : zstd;
}

// The most memory this process held at once, in MiB: the publisher's
// machine needs that much to make this delta.
qint64 peakMemoryMiB()
{
#ifdef _WIN32
    PROCESS_MEMORY_COUNTERS counters{};
    return GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters) ? qint64(counters.PeakWorkingSetSize >> 20) : -1;
#else
    rusage usage{};
    return getrusage(RUSAGE_SELF, &usage) == 0 ? qint64(usage.ru_maxrss) >> 10 : -1;
#endif
}

QByteArray readAll(const TreeFile &file, bool *ok)
{
    QByteArray bytes;
    *ok = *ok && readListed(file, [&bytes](const char *data, qint64 n) {
        bytes.append(data, int(n));
        return true;
    });
    return bytes;
}

// What the new version ships, for the updater to remove what it no longer does.
QByteArray fileList(const QMap<QString, TreeFile> &files, bool *ok)
{
    QList<QPair<QString, QPair<qint64, QByteArray>>> list;
    for (auto it = files.cbegin(); *ok && it != files.cend(); ++it) {
        list.append({it.key(), {it->size, listedSha256(*it)}});
        *ok = list.last().second.second.size() == 64;
    }
    return delta::fileListJson(list);
}

int finish(ZipWriter &zip, const QString &out, bool ok, const QString &full = QString())
{
    if (!ok || !zip.close()) {
        err() << "cannot write " << out << ": " << zip.error() << Qt::endl;
        QFile::remove(out);
        return 1;
    }
    QFile written(out);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    written.open(QIODevice::ReadOnly);
    hash.addData(&written);
    QTextStream(stdout) << out << ": " << written.size() << " bytes, sha256 " << hash.result().toHex() << Qt::endl;
    // Ready for the update-info file.
    QTextStream(stdout) << "  \"sha256\": \"" << hash.result().toHex() << "\","
                        << (full.isEmpty() ? QString() : QStringLiteral(" \"full_sha256\": \"%1\",").arg(QString::fromLatin1(fileSha256(full))))
                        << Qt::endl;
    return 0;
}

int packFull(const QString &newDir, const QString &out)
{
    QMap<QString, TreeFile> files;
    ZipWriter zip;
    if (!readTree(newDir, &files) || !zip.open(out))
        return 1;
    bool ok = true;
    const QByteArray list = fileList(files, &ok);
    for (auto it = files.cbegin(); ok && it != files.cend(); ++it)
        ok = zip.addFile(it.key(), *it);
    ok = ok && zip.add(QLatin1String(delta::kFileListName), list, false);
    return finish(zip, out, ok);
}

int packDelta(const QString &oldDir, const QString &newDir, const QString &out, const QString &full, bool zstdOnly, int format,
              qint64 groupBytes)
{
    QMap<QString, TreeFile> olds, news;
    if (!readTree(oldDir, &olds) || !readTree(newDir, &news))
        return 1;
    delta::Manifest manifest;
    QMap<QString, QByteArray> patches; // small: what changed
    QMap<QString, TreeFile> whole;     // streamed from the new tree at write time
    // Changed files to patch: their entry's index, their old and new sides.
    QVector<QPair<int, QPair<const TreeFile *, const TreeFile *>>> patched;
    const auto sha = [](const TreeFile &file, bool *ok) {
        const QByteArray hex = listedSha256(file);
        *ok = *ok && hex.size() == 64;
        return hex;
    };
    bool ok = true;
    // A file moved or renamed is patched against its old path: found by its
    // bytes, else by its file name.
    QMap<QByteArray, QString> goneBySha;
    QMap<QString, QString> goneByName;
    for (auto it = olds.cbegin(); it != olds.cend(); ++it)
        if (!news.contains(it.key())) {
            delta::Entry gone;
            gone.op = delta::Entry::Delete;
            gone.path = it.key();
            gone.oldSize = it->size;
            gone.oldSha256 = sha(*it, &ok);
            manifest.entries.append(gone);
            goneBySha.insert(gone.oldSha256, gone.path);
            goneByName.insert(QFileInfo(gone.path).fileName(), gone.path);
        }
    for (auto it = news.cbegin(); ok && it != news.cend(); ++it) {
        delta::Entry e;
        e.path = it.key();
        e.executable = it->executable;
        e.newSize = it->size;
        e.newSha256 = sha(*it, &ok);
        if (!olds.contains(e.path))
            e.from = goneBySha.value(e.newSha256, goneByName.value(QFileInfo(e.path).fileName()));
        if (olds.contains(e.source())) {
            const TreeFile &old = olds[e.source()];
            e.op = delta::Entry::Patch;
            e.oldSize = old.size;
            e.oldSha256 = sha(old, &ok);
            if (e.oldSha256 == e.newSha256 && e.from.isEmpty())
                continue; // unchanged: not in the delta
            e.whole = true;
            // The installed config.ini is the customer's, never this old one:
            // the updater only takes the keys it lacks from a whole copy.
            if (e.path.compare(QLatin1String("config.ini"), Qt::CaseInsensitive) == 0)
                err() << "config.ini travels whole: the updater keeps the customer's and adds only the keys it lacks" << Qt::endl;
            else if (old.size > kMaxPatchedSize || it->size > kMaxPatchedSize)
                err() << e.path << " travels whole: over 1 GiB, more than this tool holds to patch" << Qt::endl;
            else
                patched.append({manifest.entries.size(), {&old, &*it}});
        }
        manifest.entries.append(e);
    }
    // Files patched together, in groups of at most groupBytes on either side
    // (a file larger starts a group of its own): what they share (the same
    // code linked into each) travels once. Files over a whole reference and
    // format 1 patch each file alone.
    QVector<QVector<int>> groups;
    int open = -1; // the group that small files join
    qint64 groupOld = 0, groupNew = 0;
    for (int k = 0; k < patched.size(); ++k) {
        const qint64 oldSize = patched[k].second.first->size, newSize = patched[k].second.second->size;
        if (format == 1 || oldSize > delta::kWholeReferenceSize || newSize > delta::kWholeReferenceSize) {
            groups.append(QVector<int>{k});
            continue;
        }
        if (open < 0 || groupOld + oldSize > groupBytes || groupNew + newSize > groupBytes) {
            open = groups.size();
            groups.append(QVector<int>());
            groupOld = groupNew = 0;
        }
        groups[open].append(k);
        groupOld += oldSize;
        groupNew += newSize;
    }
    int groupNumber = 0;
    for (const QVector<int> &group : qAsConst(groups)) {
        QByteArray old, next;
        for (int k : group) {
            old += readAll(*patched[k].second.first, &ok);
            next += readAll(*patched[k].second.second, &ok);
        }
        delta::Entry::Kind kind = delta::Entry::Zstd;
        const QByteArray patch = ok ? smallestPatch(old, next, zstdOnly, &kind) : QByteArray();
        const bool whole = patch.isEmpty() || patch.size() >= next.size();
        if (!whole && format == 2)
            ++groupNumber;
        for (int k : group) {
            delta::Entry &e = manifest.entries[patched[k].first];
            e.whole = whole;
            e.kind = kind;
            e.group = whole || format == 1 ? 0 : groupNumber;
        }
        if (!whole)
            patches.insert(manifest.entries[patched[group.first()].first].stored(), patch);
    }
    for (const delta::Entry &e : qAsConst(manifest.entries))
        if (e.op == delta::Entry::Add || (e.op == delta::Entry::Patch && e.whole))
            whole.insert(e.stored(), news.value(e.path));
    manifest.format = format;
    if (format == 2)
        err() << "format 2 (files patched in groups): updaters from before groups refuse it; --format 1 makes one they read" << Qt::endl;
    ZipWriter zip;
    if (manifest.entries.isEmpty()) { // the updater refuses a delta that changes nothing
        err() << "nothing changed between the trees" << Qt::endl;
        return 1;
    }
    // The new version's list travels whole, over the one installed.
    const QByteArray list = fileList(news, &ok);
    delta::Entry listed;
    listed.path = QLatin1String(delta::kFileListName);
    listed.newSize = list.size();
    listed.newSha256 = QCryptographicHash::hash(list, QCryptographicHash::Sha256).toHex();
    manifest.entries.append(listed);
    if (!ok) {
        err() << "cannot read the trees" << Qt::endl;
        return 1;
    }
    if (!zip.open(out))
        return 1;
    // The manifest first, the rest sorted by name.
    ok = zip.add(QLatin1String(delta::kManifestName), manifest.toJson(), false)
         && zip.add(listed.stored(), list, false);
    auto p = patches.cbegin();
    auto w = whole.cbegin();
    while (ok && (p != patches.cend() || w != whole.cend())) {
        if (w == whole.cend() || (p != patches.cend() && p.key() < w.key())) {
            ok = zip.add(p.key(), p.value(), false, true);
            ++p;
        } else {
            TreeFile stored = *w;
            stored.executable = false;
            ok = zip.addFile(w.key(), stored);
            ++w;
        }
    }
    const int result = finish(zip, out, ok, full);
    if (result == 0)
        QTextStream(stdout) << "  peak memory: " << peakMemoryMiB() << " MiB" << Qt::endl;
    return result;
}

// Checks a package as the updater will: the archive's rules, the signature
// and its version (with keys; no older than the installed one, when named),
// and a delta against the tree it must apply to.
int verify(const QString &package, const QString &keys, const QString &version, const QString &installed, const QString &against)
{
    CheckedPackage checked;
    QString reason = QStringLiteral("cannot read ") + package;
    bool ok = checked.open(package);
    if (ok && !keys.isEmpty()) {
        SignatureCheck signature;
        QFile keyFile(keys), sig(package + QStringLiteral(".minisig"));
        ok = keyFile.open(QIODevice::ReadOnly) && signature.setKeys(keyFile.readAll(), &reason) && sig.open(QIODevice::ReadOnly);
        if (ok) {
            signature.setSignature(sig.readAll());
            signature.beginPackage();
            for (QByteArray piece; !(piece = checked.storage().read(1 << 20)).isEmpty();)
                signature.addPackageData(piece.constData(), piece.size());
            ok = signature.verify(checked.storage(), version, installed, &reason);
        }
    }
    ok = ok && checked.check(QLatin1String(product::kMainProgram), &reason);
    // What the updater keeps when it is installed beside the main program.
    const QStringList kept{QLatin1String(product::kMainProgram),          QLatin1String(product::kDaemonPath),
                           QStringLiteral("config.ini"),         QStringLiteral("FarwenUpdater.exe"),
                           QStringLiteral("FarwenUpdater"),      QStringLiteral("update-keys.pub")};
    DeltaApply delta;
    if (ok && DeltaApply::isDelta(checked) && against.isEmpty())
        ok = delta.readManifest(checked, &reason, kept);
    if (ok && !against.isEmpty() && DeltaApply::isDelta(checked)) {
        QTemporaryDir work;
        ok = delta.prepare(checked, against, work.path(), &reason, kept) == DeltaApply::Ready;
    }
    if (!ok) {
        err() << package << ": refused: " << reason << Qt::endl;
        return 1;
    }
    QTextStream(stdout) << package << ": accepted" << Qt::endl;
    return 0;
}

const char kUsage[] = "usage: farwen-pack full NEW_DIR -o PACKAGE.zip\n"
                      "       farwen-pack delta OLD_DIR NEW_DIR -o DELTA.zip [--full PACKAGE.zip] [--patch zstd] [--format 1]\n"
                      "                         [--group-mib N]\n"
                      "       farwen-pack verify PACKAGE.zip [--keys update-keys.pub --version V [--installed-version V]]\n"
                      "                          [--against INSTALLED_DIR]\n"
                      "full: the whole new version, with its file list.\n"
                      "delta: what changed since OLD_DIR; --full names the full package, for full_sha256. Each file\n"
                      "       is patched by zstd or bsdiff, whichever is smaller; --patch zstd spares bsdiff's time\n"
                      "       and memory (four bytes per byte of an old file). Files up to 64 MiB are patched\n"
                      "       together, in groups of up to N MiB (default 64: the memory the updater needs for\n"
                      "       them); --format 1 patches each alone, for updaters before groups.\n"
                      "verify: checks PACKAGE.zip as the updater will (with PACKAGE.zip.minisig when keys are given)\n"
                      "        and exits 1 with the updater's reason when it would refuse it.\n";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        QTextStream(stdout) << kUsage;
        return 0;
    }
    // Options with a value, taken out of the arguments.
    QMap<QString, QString> options;
    for (const QString name : {"-o", "--full", "--keys", "--version", "--installed-version", "--against", "--patch", "--format", "--group-mib"}) {
        const int at = args.indexOf(name);
        if (at >= 0 && at + 1 < args.size()) {
            options[name] = args.at(at + 1);
            args.erase(args.begin() + at, args.begin() + at + 2);
        }
    }
    const QString out = options.value(QStringLiteral("-o")), command = args.value(0);
    if (!out.isEmpty() && args.size() == 2 && command == QLatin1String("full"))
        return packFull(args[1], out);
    const QString patch = options.value(QStringLiteral("--patch"), QStringLiteral("zstd"));
    const QString format = options.value(QStringLiteral("--format"), QStringLiteral("2"));
    const int groupMib = options.value(QStringLiteral("--group-mib"), QStringLiteral("64")).toInt();
    if (!out.isEmpty() && args.size() == 3 && command == QLatin1String("delta") && patch == QLatin1String("zstd")
        && (format == QLatin1String("1") || format == QLatin1String("2")) && groupMib >= 1 && groupMib <= 64)
        return packDelta(args[1], args[2], out, options.value(QStringLiteral("--full")), options.contains(QStringLiteral("--patch")),
                         format.toInt(), qint64(groupMib) << 20);
    if (args.size() == 2 && command == QLatin1String("verify")
        && options.contains(QStringLiteral("--keys")) == options.contains(QStringLiteral("--version"))
        && (options.contains(QStringLiteral("--keys")) || !options.contains(QStringLiteral("--installed-version"))))
        return verify(args[1], options.value(QStringLiteral("--keys")), options.value(QStringLiteral("--version")),
                      options.value(QStringLiteral("--installed-version")), options.value(QStringLiteral("--against")));
    err() << kUsage;
    return 2;
}
