#include "package/package_extraction.h"
#include "shared/product_names.h"

#include "delta/delta.h"
#include "package/archive_entries.h"
#include "package/safe_paths.h"
#include "platform/platform.h"
#include "platform/native_path.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

namespace {

const qint64 kMinimumArchiveSize = 100;
const int kMaxShippedConfigSize = 1 << 20;

} // namespace

using namespace archive_entries;

bool packageReady(CheckedPackage &package, const QString &zipPath, const QString &mainName)
{
    QString reason;
    if ((package.isOpen() || package.open(zipPath)) && (package.isChecked() || package.check(mainName, &reason)))
        return true;
    qDebug() << "更新包无法读取:" << zipPath << reason;
    return false;
}

bool extractPackage(CheckedPackage &package, DeltaApply &deltaApply, const QString &zipPath, const QString &appDir,
                    const QString &mainName, const std::function<void(int percent)> &report, QByteArray *shippedConfig,
                    const QStringList &dropped)
{
    qDebug() << "=== 开始解压更新包 ===";
    const QFileInfo packageFile(zipPath);
    qDebug() << "更新包大小:" << packageFile.size() << "字节";
    if (packageFile.size() < kMinimumArchiveSize) {
        qDebug() << "错误：更新包文件太小，可能损坏";
        return false;
    }
    // Unpacked from the very file that was checked, opened once.
    if (!packageReady(package, zipPath, mainName))
        return false;
    QString reason;

    // A file is executable when the package says so, when the file it
    // replaces was, and always for the main program and the daemon: ZIPs made
    // on Windows carry no modes at all.
    const auto executable = [&appDir, &mainName](const QString &name, int mode) {
        const QFileInfo old(appDir + QLatin1Char('/') + name);
        return (mode & 0111) != 0 || (old.isFile() && old.isExecutable())
               || name.compare(mainName, Qt::CaseInsensitive) == 0
               || name.compare(QLatin1String(product::kDaemonPath), Qt::CaseInsensitive) == 0;
    };
    int step = 80;
    report(step);
    const auto progress = [&report, &step](qint64 done, qint64 total) {
        while (step < 95 && total > 0 && done * 15 >= (step + 3 - 80) * total) {
            step += 3;
            report(step);
        }
    };
    // The customer's config.ini stays: the package's copy is kept for the
    // configuration update (a copy too large to be one is dropped).
    const bool customerConfig = QFileInfo(appDir + QStringLiteral("/config.ini")).isFile();
    shippedConfig->clear();
    bool tooLarge = false;
    const auto divert = [&](const QString &name) -> CheckedPackage::BlockSink {
        if (!customerConfig || !isConfigName(name))
            return {};
        return [&](const char *data, size_t size) {
            tooLarge = tooLarge || shippedConfig->size() + qint64(size) > kMaxShippedConfigSize;
            if (!tooLarge)
                shippedConfig->append(data, int(size));
            return true;
        };
    };
    const bool isDelta = deltaApply.prepared();
    const bool unpacked = isDelta ? deltaApply.place(appDir, executable, &reason, divert)
                                  : package.unpack(appDir, executable, progress, &reason, divert);
    if (tooLarge)
        shippedConfig->clear();
    if (!unpacked)
        qDebug() << "解压错误:" << reason;
    bool complete = unpacked;
    QString failure = unpacked ? QString() : reason;
    progress(1, 1);

    // Only what is on disk counts: every file of the package, at its size.
    const PackageContents &contents = package.contents();
    for (auto it = contents.files.cbegin(); complete && !isDelta && it != contents.files.cend(); ++it) {
        if (customerConfig && isConfigName(it.key()))
            continue;
        const QFileInfo unpacked(appDir + QLatin1Char('/') + it.key());
        if (!unpacked.isFile() || unpacked.size() != it.value()) {
            failure = QStringLiteral("文件不完整: %1").arg(it.key());
            qDebug() << "解压错误:" << failure;
            complete = false;
        }
    }
    // What the new version no longer ships goes, as a delta's deletions do.
    const std::string root = platformPath(appDir);
    for (auto it = dropped.cbegin(); complete && it != dropped.cend(); ++it) {
        qDebug() << "删除新版本不再包含的文件:" << *it;
        complete = platform::removeFileBelow(root, platformPath(*it));
        if (!complete)
            failure = QStringLiteral("无法删除文件: %1").arg(*it);
        for (QDir dir = QFileInfo(appDir + QLatin1Char('/') + *it).dir();
             complete && dir.absolutePath() != QDir(appDir).absolutePath() && QDir().rmdir(dir.absolutePath());)
            dir.cdUp();
    }
    // Every new file and name on disk before the journal says "unpacked".
    platform::FlushPlan plan;
    const auto flushLater = [&plan, &root, &appDir](const QString &rel) {
        if (QFileInfo(appDir + QLatin1Char('/') + rel).isFile())
            plan.wrote(root, platformPath(rel));
        else
            plan.changed(root, platformPath(rel));
    };
    if (isDelta)
        deltaApply.forEachPath(flushLater);
    for (auto it = contents.files.cbegin(); !isDelta && it != contents.files.cend(); ++it)
        flushLater(it.key());
    for (const QString &rel : dropped)
        flushLater(rel);
    if (complete && !plan.flush()) {
        failure = QStringLiteral("无法将文件写入磁盘");
        complete = false;
    }
    if (complete)
        qDebug() << "解压结果: 命令成功=" << unpacked << ", 最终结果=" << complete;
    else
        qDebug() << "解压结果: 命令成功=" << unpacked << ", 最终结果=" << complete << ", 原因:" << failure;
    return complete;
}
