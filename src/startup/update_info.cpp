#include "startup/update_info.h"
#include "shared/product_names.h"

#include "platform/platform.h"
#include "platform/native_path.h"

#include <QCommandLineParser>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <utility>

namespace {
// More than any update-info file needs; a bigger one is not read into memory.
const std::size_t kMaxInfoSize = 64u << 20;
} // namespace

void setupCommandLine(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral("Farwen 更新程序"));
    parser.addHelpOption();
    parser.addOption(QCommandLineOption({QStringLiteral("i"), QStringLiteral("info")},
                                        QStringLiteral("更新信息JSON文件路径"), QStringLiteral("info-file")));
    parser.addOption(QCommandLineOption({QStringLiteral("m"), QStringLiteral("mode")},
                                        QStringLiteral("更新模式: auto(自动检查) 或 manual(手动更新)"),
                                        QStringLiteral("mode"), QStringLiteral("auto")));
    parser.addOption(QCommandLineOption(QStringLiteral("recover"), QStringLiteral("只恢复中断的更新(主程序路径)"),
                                        QStringLiteral("app-path")));
}

bool readUpdateInfo(const QCommandLineParser &parser, UpdateInfo &info)
{
    info.mode = parser.value(QStringLiteral("mode"));

    if (!parser.isSet(QStringLiteral("info"))) {
        qCritical() << "错误：必须通过 -i 参数传递JSON文件";
        return false;
    }
    const QString path = parser.value(QStringLiteral("info"));

    // Only a plain file is read, and deleted only once it proves to be an
    // update-info file: a FIFO would block, a link or a device is not ours.
    // Its folder is the user's: read and removed through one handle, never by
    // its name again.
    platform::HeldFile file;
    const std::string why = path.isEmpty() ? std::string("missing") : file.open(platformPath(path));
    if (why == "missing" || why == "cannot be opened") {
        qCritical() << "无法读取JSON文件:" << path;
        return false;
    }
    if (!why.empty()) {
        qCritical() << "不是普通文件:" << path;
        return false;
    }
    std::string bytes;
    if (!file.readAll(&bytes, kMaxInfoSize)) {
        qCritical() << "无法读取JSON文件:" << path << "(超过64 MiB或读取失败)";
        return false;
    }
    const QByteArray data = QByteArray::fromStdString(bytes);

    const QJsonDocument doc = QJsonDocument::fromJson(data);
    if (!doc.isObject()) {
        qCritical() << "JSON格式不正确";
        return false;
    }

    // toString() yields "" for anything but a JSON string, so a numeric
    // version counts as missing.
    const QJsonObject obj = doc.object();
    info.appPath = obj.value(QStringLiteral("app_path")).toString();
    info.newVersion = obj.value(QStringLiteral("new_version")).toString();
    info.downloadUrl = obj.value(QStringLiteral("download_url")).toString();
    info.memo = obj.value(QStringLiteral("memo")).toString();
    info.sha256Given = obj.contains(QStringLiteral("sha256"));
    info.sha256 = obj.value(QStringLiteral("sha256")).toString();
    info.signature = obj.value(QStringLiteral("signature")).toString();
    info.fullDownloadUrl = obj.value(QStringLiteral("full_download_url")).toString();
    info.fullSha256Given = obj.contains(QStringLiteral("full_sha256"));
    info.fullSha256 = obj.value(QStringLiteral("full_sha256")).toString();
    info.fullSignature = obj.value(QStringLiteral("full_signature")).toString();

    // Consumed by every run that could parse it, whatever the later checks say.
    if (!file.remove())
        qWarning() << "JSON文件无法删除:" << path;
    file.close();

    const QFileInfo infoFile(path);
    QString companion = QDir::toNativeSeparators(infoFile.absoluteFilePath());
    // A file named just ".json" would make its own parent directory the
    // companion; that directory is not ours to delete.
    if (companion.endsWith(QLatin1String(".json"), Qt::CaseInsensitive)
        && infoFile.fileName().size() > 5)
        companion.chop(5);
    info.companionPath = companion;
    return true;
}

bool checkUpdateInfo(const UpdateInfo &info)
{
    if (info.appPath.isEmpty() || info.newVersion.isEmpty() || info.downloadUrl.isEmpty()) {
        qCritical() << "参数不完整";
        return false;
    }
    // A relative path resolves against the working directory, which is the
    // updater's own directory by now.
    if (!QFileInfo(info.appPath).isFile()) {
        qCritical() << "主程序不存在:" << info.appPath;
        return false;
    }
    for (const QString &url : {info.downloadUrl, info.fullDownloadUrl}) {
        const QString scheme = QUrl(url, QUrl::TolerantMode).scheme().toLower();
        if (!url.isEmpty() && scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
            qCritical() << "下载地址必须是http或https:" << url;
            return false;
        }
    }
    // Any other file would make its directory "the installation".
    if (QFileInfo(info.appPath).fileName().compare(QLatin1String(product::kMainProgram), Qt::CaseInsensitive) != 0) {
        qCritical() << "不是产品的主程序:" << info.appPath;
        return false;
    }
    const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    for (const auto &[given, value] : {std::make_pair(info.sha256Given, info.sha256), std::make_pair(info.fullSha256Given, info.fullSha256)}) {
        if (given && !hex.match(value).hasMatch()) {
            qCritical() << "sha256格式不正确:" << value;
            return false;
        }
    }
    return true;
}

namespace {

bool isInside(const QString &path, const QString &dir)
{
    return path.compare(dir, Qt::CaseInsensitive) == 0
           || path.startsWith(dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/'), Qt::CaseInsensitive);
}

// Only a real directory of its own: not a link, not the installation, the
// updater's directory or the data root, nothing holding or inside them.
bool mayRemoveCompanion(const QString &companionPath, const QStringList &protectedDirs)
{
    if (platform::isLink(platformPath(companionPath))) {
        qWarning() << "拒绝删除链接:" << companionPath;
        return false;
    }
    const QString companion = QFileInfo(companionPath).canonicalFilePath();
    if (companion.isEmpty() || !QFileInfo(companion).isDir())
        return false;
    for (const QString &dir : protectedDirs) {
        const QString guarded = QFileInfo(dir).canonicalFilePath();
        if (!guarded.isEmpty() && (isInside(companion, guarded) || isInside(guarded, companion))) {
            qWarning() << "拒绝删除目录:" << companionPath;
            return false;
        }
    }
    return true;
}

} // namespace

void scheduleCompanionRemoval(const QString &companionPath, const QStringList &protectedDirs, int firstDelayMs,
                              int retryDelayMs)
{
    QTimer::singleShot(firstDelayMs, [companionPath, protectedDirs, retryDelayMs]() {
        if (!mayRemoveCompanion(companionPath, protectedDirs))
            return;
        // The requesting user's own entries only, never through a link.
        const std::string path = platformPath(companionPath);
        if (platform::removeTree(path, platform::Owner::Requester)) {
            qDebug() << "good";
            return;
        }
        QTimer::singleShot(retryDelayMs, [companionPath, protectedDirs, path]() {
            if (mayRemoveCompanion(companionPath, protectedDirs))
                platform::removeTree(path, platform::Owner::Requester);
        });
    });
}
