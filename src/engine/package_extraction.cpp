#include "engine/update_engine.h"

#include <QDebug>
#include <QFileInfo>

namespace {

const qint64 kMinimumArchiveSize = 100;

// The product's own programs must stay startable whatever the package says.
const char kDaemonInPackage[] = "KarvoDeskServer/KarvoDeskDaemon.exe";

} // namespace

bool UpdateEngine::extractPackage()
{
    qDebug() << "=== 开始解压更新包 ===";
    const QFileInfo packageFile(zipPath);
    qDebug() << "更新包大小:" << packageFile.size() << "字节";
    if (packageFile.size() < kMinimumArchiveSize) {
        qDebug() << "错误：更新包文件太小，可能损坏";
        return false;
    }
    // Unpacked from the very file that was checked, opened once.
    if (!packageReady())
        return false;
    QString reason;

    // A file is executable when the package says so, when the file it
    // replaces was, and always for the main program and the daemon: ZIPs made
    // on Windows carry no modes at all.
    const QString mainName = QFileInfo(appPath).fileName();
    const auto executable = [this, &mainName](const QString &name, int mode) {
        const QFileInfo old(appDir + QLatin1Char('/') + name);
        return (mode & 0111) != 0 || (old.isFile() && old.isExecutable())
               || name.compare(mainName, Qt::CaseInsensitive) == 0
               || name.compare(QLatin1String(kDaemonInPackage), Qt::CaseInsensitive) == 0;
    };
    int step = 80;
    emit installProgress(step, QStringLiteral("Extracting files..."));
    const auto progress = [this, &step](qint64 done, qint64 total) {
        while (step < 95 && total > 0 && done * 15 >= (step + 3 - 80) * total) {
            step += 3;
            emit installProgress(step, QStringLiteral("Extracting files..."));
        }
    };
    const bool isDelta = deltaApply.prepared();
    const bool unpacked = isDelta ? deltaApply.place(appDir, executable, &reason)
                                  : package.unpack(appDir, executable, progress, &reason);
    if (!unpacked)
        qDebug() << "解压错误:" << reason;
    bool complete = unpacked;
    progress(1, 1);

    // Only what is on disk counts: every file of the package, at its size.
    const PackageContents &contents = package.contents();
    for (auto it = contents.files.cbegin(); complete && !isDelta && it != contents.files.cend(); ++it) {
        const QFileInfo unpacked(appDir + QLatin1Char('/') + it.key());
        if (!unpacked.isFile() || unpacked.size() != it.value()) {
            qDebug() << "解压错误: 文件不完整" << it.key();
            complete = false;
        }
    }
    qDebug() << "解压结果: 命令成功=" << unpacked << ", 最终结果=" << complete;
    return complete;
}
