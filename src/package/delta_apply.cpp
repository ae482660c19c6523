#include "package/delta_apply.h"

#include "package/checked_package.h"
#include "package/safe_paths.h"
#include "platform/platform.h"
#include "platform/sha256.h"
#include "platform/native_path.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QVector>

#include <atomic>
#include <optional>
#include <thread>

bool DeltaApply::isDelta(const CheckedPackage &package)
{
    return package.contents().files.contains(QLatin1String(delta::kManifestName));
}

namespace {

const int kMaxManifestSize = 16 << 20;

} // namespace

bool DeltaApply::readManifest(CheckedPackage &package, QString *reason, const QStringList &kept)
{
    QByteArray json;
    const bool found = package.streamFiles([&json, reason](const QString &name) -> CheckedPackage::BlockSink {
        if (name != QLatin1String(delta::kManifestName))
            return {};
        return [&json, reason](const char *data, size_t size) {
            if (json.size() + qint64(size) > kMaxManifestSize) {
                *reason = QStringLiteral("差分清单过大");
                return false;
            }
            json.append(data, int(size));
            return true;
        };
    }, reason);
    if (!found || json.isEmpty() || !manifest.fromJson(json, reason))
        return false;
    for (const delta::Entry &e : manifest.entries) {
        // The publisher's keys are not even written: a delta that brings
        // other keys would decide what the next update needs.
        const bool keys = e.path.endsWith(QLatin1String("update-keys.pub"), Qt::CaseInsensitive);
        if ((e.op == delta::Entry::Delete || keys) && kept.contains(e.path, Qt::CaseInsensitive)) {
            *reason = (e.op == delta::Entry::Delete ? QStringLiteral("差分包不能删除: %1") : QStringLiteral("差分包不能改写: %1"))
                          .arg(e.path);
            return false;
        }
    }
    return true;
}

DeltaApply::Outcome DeltaApply::prepare(CheckedPackage &package, const QString &installDir, const QString &workDir,
                                        QString *reason, const QStringList &kept)
{
    ready = false;
    rebuiltDir = workDir + QStringLiteral("/rebuilt");
    platform::removeTree(platformPath(rebuiltDir), platform::Owner::Elevated); // an earlier try's
    if (!readManifest(package, reason, kept))
        return Broken;
    for (const delta::Entry &e : manifest.entries) {
        if (!linkOnTheWay(installDir, e.path).isEmpty() || !linkOnTheWay(installDir, e.source()).isEmpty()) {
            *reason = QStringLiteral("差分包路径经过链接: %1").arg(e.path);
            return Broken;
        }
    }

    // The installation must be the one the delta was made against. Its old
    // files are hashed on a second thread while the patches stream; what is
    // rebuilt counts only once every one of them matched.
    // Not config.ini: every update rewrites the customer's.
    const auto differs = [&installDir](const delta::Entry &e) {
        const QString old = installDir + QLatin1Char('/') + e.source();
        return QFileInfo(old).size() != e.oldSize || fileSha256(old) != e.oldSha256;
    };
    // What each package entry rebuilds: one file, or a group's files end to end.
    QHash<QString, QVector<const delta::Entry *>> byStored;
    QVector<const delta::Entry *> olds;
    leftOut.clear();
    int expected = 0;
    for (const delta::Entry &e : manifest.entries) {
        const bool config = isConfigName(e.path);
        if (e.op != delta::Entry::Add && !config)
            olds << &e;
        if (config && e.op == delta::Entry::Patch && !e.whole && differs(e)) {
            qDebug() << "配置文件的补丁不适用于本地文件，不使用:" << e.path;
            leftOut << e.path;
            continue;
        }
        if (e.op != delta::Entry::Delete) {
            byStored[e.stored()] << &e;
            ++expected;
        }
    }
    std::atomic<int> differing{-1}; // the first old file that is not the delta's
    std::thread checker([&olds, &differing, &differs] {
        for (int i = 0; i < olds.size() && differing < 0; ++i)
            if (differs(*olds[i]))
                differing = i;
    });
    // Each new file rebuilt and checked before anything is stopped, as a
    // stream: a file of any size passes through a block at a time.
    int rebuilt = 0;
    QString failure;
    QFile out;
    std::optional<platform::Sha256> hash;
    delta::PatchStream patch;
    QVector<const delta::Entry *> files; // what the entry being read rebuilds
    int nextFile = 0;
    const auto patched = [&files] { return files.first()->op == delta::Entry::Patch && !files.first()->whole; };
    const delta::Entry *current = nullptr;
    qint64 written = 0;
    const auto refuse = [&failure](const QString &why) { // the first reason stands: what came after is its effect
        if (failure.isEmpty())
            failure = why;
        return false;
    };
    const auto refusing = [&refuse](const QString &why) -> CheckedPackage::BlockSink {
        return [refuse, why](const char *, size_t) { return refuse(why); };
    };
    const auto finishCurrent = [&]() {
        const delta::Entry *e = current;
        current = nullptr;
        if (written != e->newSize || QByteArray::fromStdString(hash->hex()) != e->newSha256)
            return refuse(QStringLiteral("重建的文件校验失败: %1").arg(e->path));
        if (!out.flush())
            return refuse(QStringLiteral("无法写入重建的文件: %1").arg(e->path));
        out.close();
        ++rebuilt;
        return true;
    };
    // The entry's files opened in turn, each finished once its size is written.
    const auto advance = [&]() {
        while (true) {
            if (current && written == current->newSize && !finishCurrent())
                return false;
            if (current || nextFile == files.size())
                return true;
            current = files.at(nextFile++);
            written = 0;
            hash.emplace();
            const QString target = rebuiltDir + QLatin1Char('/') + current->path;
            QDir().mkpath(QFileInfo(target).absolutePath());
            out.setFileName(target);
            if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
                return refuse(QStringLiteral("无法写入重建的文件: %1").arg(current->path));
        }
    };
    // The entry read last, ended: a file not reached or a patch not at its end
    // is the file it stopped in, failed.
    const auto finishEntry = [&]() {
        if (files.isEmpty() || !advance())
            return;
        if (current || (patched() && !patch.finish()))
            refuse(QStringLiteral("重建的文件校验失败: %1").arg(current ? current->path : files.last()->path));
    };
    const CheckedPackage::BlockSink write = [&](const char *data, size_t size) {
        if (differing >= 0)
            return refuse(QString()); // said below
        while (size) {
            if (!advance())
                return false;
            if (!current) // more bytes than the files hold
                return refuse(QStringLiteral("重建的文件校验失败: %1").arg(files.last()->path));
            const size_t n = size_t(qMin(qint64(size), current->newSize - written));
            hash->add(data, n);
            written += qint64(n);
            if (out.write(data, qint64(n)) != qint64(n))
                return refuse(QStringLiteral("无法写入重建的文件: %1").arg(current->path));
            data += n;
            size -= n;
        }
        return true;
    };
    const bool read = package.streamFiles([&](const QString &name) -> CheckedPackage::BlockSink {
        const auto found = byStored.constFind(name);
        if (found == byStored.cend())
            return {};
        finishEntry();
        if (!failure.isEmpty())
            return refusing(failure);
        files = *found;
        nextFile = 0;
        const delta::Entry *e = files.first();
        if (!advance())
            return refusing(failure);
        if (!patched())
            return write;
        qint64 size = 0;
        QStringList sources;
        for (const delta::Entry *f : qAsConst(files)) {
            size += f->newSize;
            sources << installDir + QLatin1Char('/') + f->source();
        }
        if (!patch.begin(sources, size, e->kind))
            return refusing(QStringLiteral("补丁无法应用: %1").arg(e->path));
        return [&patch, &refuse, e, write](const char *data, size_t size) {
            return patch.feed(data, size, write) || refuse(QStringLiteral("补丁无法应用: %1").arg(e->path));
        };
    }, reason);
    if (read)
        finishEntry();
    checker.join();
    if (differing >= 0) {
        *reason = QStringLiteral("本地文件与差分包不符: %1").arg(olds[differing]->path);
        return OldFilesDiffer;
    }
    if (!failure.isEmpty())
        *reason = failure;
    if (!read || !failure.isEmpty())
        return Broken;
    if (rebuilt != expected) {
        *reason = QStringLiteral("差分包缺少文件");
        return Broken;
    }
    qDebug() << "差分包已重建:" << rebuilt << "个文件";
    ready = true;
    return Ready;
}

bool DeltaApply::place(const QString &installDir, const std::function<bool(const QString &, int)> &executable,
                       QString *reason, const std::function<std::function<bool(const char *, size_t)>(const QString &)> &divert)
{
    // Deletions first: a deleted file may be where a new directory goes, and
    // a deleted directory's files where a new file goes.
    for (const delta::Entry &e : manifest.entries) {
        if (e.op != delta::Entry::Delete)
            continue;
        const QString path = installDir + QLatin1Char('/') + e.path;
        if (!QFile::remove(path) && QFileInfo::exists(path)) {
            *reason = QStringLiteral("无法删除文件: %1").arg(e.path);
            return false;
        }
        for (QDir dir = QFileInfo(path).dir(); dir.absolutePath() != QDir(installDir).absolutePath() && QDir().rmdir(dir.absolutePath());)
            dir.cdUp();
    }
    for (const delta::Entry &e : manifest.entries) {
        if (e.op == delta::Entry::Delete || leftOut.contains(e.path))
            continue;
        const QString target = installDir + QLatin1Char('/') + e.path;
        QFile rebuilt(rebuiltDir + QLatin1Char('/') + e.path);
        if (const auto take = divert ? divert(e.path) : nullptr) {
            if (!rebuilt.open(QIODevice::ReadOnly)) {
                *reason = QStringLiteral("无法读取重建的文件: %1").arg(e.path);
                return false;
            }
            for (QByteArray piece; !(piece = rebuilt.read(1 << 20)).isEmpty();)
                take(piece.constData(), size_t(piece.size()));
            continue;
        }
        platform::FileReplacement out;
        QDir().mkpath(QFileInfo(target).absolutePath());
        const std::string from = platformPath(rebuilt.fileName()), to = platformPath(target);
        const bool runnable = executable(e.path, e.executable ? 0755 : 0644);
        if (!out.adopt(to, from, runnable) && !(out.begin(to, runnable) && out.writeFrom(from))) {
            *reason = QStringLiteral("无法写入文件: %1").arg(e.path);
            return false;
        }
        if (!out.commit()) {
            *reason = QStringLiteral("无法替换文件: %1").arg(e.path);
            return false;
        }
    }
    return true;
}
