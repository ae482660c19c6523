#include "startup/startup.h"

#include "platform/platform.h"
#include "startup/handover.h"
#include "startup/stale_cleanup.h"
#include "startup/update_info.h"
#include "engine/download_cache.h"
#include "engine/update_engine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QMessageBox>
#include <QSocketNotifier>

#include <memory>
#include <string>
#include <vector>

namespace {

int requestElevation(const QApplication &app)
{
    std::vector<std::string> args;
    const QStringList all = app.arguments();
    for (int i = 1; i < all.size(); ++i)
        args.push_back(all.at(i).toStdString());

    if (platform::relaunchElevated(args)) {
        qDebug() << "已请求管理员权限重新运行程序";
        return 0;
    }
    QMessageBox box(QMessageBox::Warning, QStringLiteral("权限请求失败"),
                    QStringLiteral("无法获取管理员权限。程序需要管理员权限来管理服务。\n请手动以管理员身份运行此程序。"),
                    QMessageBox::Ok);
    box.setDefaultButton(static_cast<QPushButton *>(nullptr));
    box.exec();
    return 1;
}

// The real main program behind links (resolved once, here, and logged), so
// that the installation, its backup and the restart are the real ones.
QString resolvedMainProgram(const QString &path)
{
    const QFileInfo given(path);
    const QString real = given.canonicalFilePath();
    if (real.isEmpty() || real == given.absoluteFilePath())
        return given.absoluteFilePath();
    qWarning() << "主程序路径是链接，使用其目标:" << path << "->" << real;
    return real;
}

// An installation folder that others can write holds nothing the elevated
// updater may trust or change.
bool installationTrusted(const QString &mainProgram)
{
    const QString dir = QFileInfo(mainProgram).absolutePath();
    if (mainProgram.isEmpty() || !QFileInfo(dir).isDir())
        return true; // judged by the later checks
    const std::string why = platform::untrustedEntry(QFile::encodeName(dir).toStdString());
    if (why.empty())
        return true;
    qCritical() << "安装目录可被他人修改，拒绝更新:" << dir << QString::fromStdString(why);
    return false;
}

// An apply that a crash interrupted is undone before anything needs the
// installation: its main program may be the file that was being replaced.
bool recoverFirst(const QString &mainProgram)
{
    if (mainProgram.isEmpty() || !QFileInfo(QFileInfo(mainProgram).absolutePath()).isDir())
        return true;
    UpdateEngine engine;
    return engine.recoverInstallation(mainProgram);
}

// Said where the person who clicked "update" sees it; a close or SIGTERM ends it.
void tellAnotherUpdaterRuns()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Farwen 更新程序"), QStringLiteral("已有更新程序在运行"),
                    QMessageBox::Ok);
    const int requests = platform::terminationRequests();
    std::unique_ptr<QSocketNotifier> notifier;
    if (requests >= 0) {
        notifier.reset(new QSocketNotifier(requests, QSocketNotifier::Read));
        QObject::connect(notifier.get(), &QSocketNotifier::activated, &box, &QMessageBox::reject);
    }
    box.exec();
}

void applyAppearance(QApplication &app)
{
    QFont font(QStringLiteral("Segoe UI"), -1, -1, false);
    font.setStyleHint(QFont::SansSerif);
    QApplication::setFont(font);

    app.setStyleSheet(QStringLiteral(R"(
        QWidget {
            font-family: 'Segoe UI', Arial, sans-serif;
        }
        QLabel {
            font-family: 'Segoe UI', Arial, sans-serif;
        }
        QPushButton {
            font-family: 'Segoe UI', Arial, sans-serif;
        }
        QTextEdit {
            font-family: 'Segoe UI', Arial, sans-serif;
        }
        QProgressBar {
            font-family: 'Segoe UI', Arial, sans-serif;
        }
    )"));
}

} // namespace

int runUpdater(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(true);

    if (!platform::isAdministrator())
        return requestElevation(app);

    // Before anything is touched: others must not be able to swap what the
    // updater puts there.
    const std::string unsafe = platform::unsafeDataRoot();
    if (!unsafe.empty()) {
        qCritical() << "数据目录不安全，拒绝更新:" << QString::fromStdString(platform::dataRoot())
                    << QString::fromStdString(unsafe);
        return 1;
    }
    // A second updater would share its files.
    const platform::LockResult lock = platform::takeSingleInstanceLock();
    if (lock == platform::LockResult::HeldByAnother) {
        qCritical() << "已有更新程序在运行";
        tellAnotherUpdaterRuns();
        return 1;
    }
    if (lock != platform::LockResult::Taken) {
        qCritical() << "无法取得更新锁:" << QString::fromStdString(platform::dataRoot()) + QStringLiteral("/FarwenUpdater");
        return 1;
    }

    removeStaleWorkDirs(QDir::tempPath(), QString::fromStdString(platform::dataRoot()),
                        QDateTime::currentDateTime(), true);
    DownloadCache::removeExpired(QString::fromStdString(platform::dataRoot()));

    QApplication::setApplicationName(QStringLiteral("FarwenUpdater"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    setupCommandLine(parser);
    parser.process(app);

    if (parser.isSet(QStringLiteral("recover"))) {
        // At the next start of the machine, or by hand: no info file, no window.
        QDir::setCurrent(QApplication::applicationDirPath());
        const QString mainProgram = resolvedMainProgram(parser.value(QStringLiteral("recover")));
        if (!installationTrusted(mainProgram))
            return 1;
        const bool undone = recoverFirst(mainProgram);
        qDebug() << (undone ? "恢复检查完成" : "无法恢复中断的更新");
        return undone ? 0 : 1;
    }

    UpdateInfo info;
    if (!readUpdateInfo(parser, info))
        return 1;

    QDir::setCurrent(QApplication::applicationDirPath());
    // Relative to the updater's directory, which is no one's working directory later.
    const QString givenAppDir = QFileInfo(info.appPath).absolutePath();
    if (!info.appPath.isEmpty())
        info.appPath = resolvedMainProgram(info.appPath);
    const QString dataRoot = QString::fromStdString(platform::dataRoot());
    scheduleCompanionRemoval(info.companionPath, {givenAppDir, QFileInfo(info.appPath).absolutePath(),
                                                  QApplication::applicationDirPath(), dataRoot});

    if (!installationTrusted(info.appPath))
        return 1;
    if (!recoverFirst(info.appPath))
        qCritical() << "无法从中断的更新中恢复:" << info.appPath;
    if (!checkUpdateInfo(info))
        return 1;
    QByteArray keys;
    if (!readPublisherKeys(QApplication::applicationDirPath(), &keys))
        return 1;
    info.publisherKeys = keys;

    applyAppearance(app);
    return handOver(app, info);
}
