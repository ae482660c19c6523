#include "startup/startup.h"

#include "farwen_version.h"

#include "platform/platform.h"
#include "platform/native_path.h"
#include "startup/window_run.h"
#include "startup/run_record.h"
#include "startup/stale_cleanup.h"
#include "startup/update_info.h"
#include "download/download_cache.h"
#include "download/signature.h"
#include "engine/update_engine.h"
#include "install/ini_file.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QDeadlineTimer>
#include <QThread>

#include <memory>
#include <string>
#include <vector>

namespace {

// The log in UTF-8 on every system: Qt would write the Windows code page, where
// the Chinese lines become question marks, or only to the debugger.
void writeLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString line = runrecord::bounded(qFormatLogMessage(type, context, message));
    platform::writeLogLine(line.toStdString());
    runrecord::append(line);
}

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
    // Nor one that a folder on its way lets another user swap.
    std::string why = platform::untrustedEntry(platformPath(dir));
    if (why.empty())
        why = platform::unsafePathTo(platformPath(QDir::cleanPath(dir)));
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

const int kRecoverLockWaitMs = 60000;

// The data root checked, the one-updater lock taken, leftovers of earlier
// runs removed. lockWaitMs: how long to wait for another updater to end.
enum class Guard { Ready, Refused, AnotherRuns };
Guard guardMachine(int lockWaitMs)
{
    // Before anything is touched: others must not be able to swap what the
    // updater puts there.
    const std::string unsafe = platform::unsafeDataRoot();
    if (!unsafe.empty()) {
        qCritical() << "数据目录不安全，拒绝更新:" << QString::fromStdString(platform::dataRoot())
                    << QString::fromStdString(unsafe);
        return Guard::Refused;
    }
    // A second updater would share its files.
    QDeadlineTimer wait(lockWaitMs);
    platform::LockResult lock;
    while ((lock = platform::takeSingleInstanceLock()) == platform::LockResult::HeldByAnother && !wait.hasExpired())
        QThread::msleep(200);
    if (lock == platform::LockResult::HeldByAnother) {
        qCritical() << "已有更新程序在运行";
        return Guard::AnotherRuns;
    }
    if (lock != platform::LockResult::Taken) {
        qCritical() << "无法取得更新锁:" << QString::fromStdString(platform::dataRoot()) + QStringLiteral("/FarwenUpdater");
        return Guard::Refused;
    }
    removeStaleWorkDirs(QDir::tempPath(), QString::fromStdString(platform::dataRoot()),
                        QDateTime::currentDateTime(), true);
    DownloadCache::removeExpired(QString::fromStdString(platform::dataRoot()));
    return Guard::Ready;
}

void openRecord(const QStringList &arguments)
{
    if (!runrecord::open(QString::fromStdString(platform::dataRoot()), arguments))
        qWarning() << "无法写入运行记录:" << QString::fromStdString(platform::dataRoot()) + QStringLiteral("/FarwenUpdater/logs");
}

// Help, and recovery at boot or by hand: no window, no display needed.
bool needsNoWindow(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--recover" || arg.startsWith("--recover=") || arg == "-h" || arg == "--help" || arg == "-?"
            || arg == "--help-all")
            return true;
    }
    return false;
}

int runWithoutWindow(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("FarwenUpdater"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FARWEN_UPDATER_VERSION));
    QCommandLineParser parser;
    setupCommandLine(parser);
    parser.process(app); // help ends here
    if (!platform::isAdministrator()) {
        qCritical() << "恢复需要管理员权限";
        return 1;
    }
    // A boot unit must end: another updater is waited for, a minute at most.
    if (guardMachine(kRecoverLockWaitMs) != Guard::Ready)
        return 1;
    openRecord(app.arguments());
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    const QString mainProgram = resolvedMainProgram(parser.value(QStringLiteral("recover")));
    const QDir installation = QFileInfo(mainProgram).absoluteDir();
    if (!installation.exists() || (!QFileInfo::exists(mainProgram)
                                   && installation.entryList({QStringLiteral("_update_backup_*.journal")}, QDir::Files | QDir::Hidden).isEmpty())) {
        qCritical() << "找不到要恢复的安装:" << parser.value(QStringLiteral("recover"));
        return 1;
    }
    if (!installationTrusted(mainProgram))
        return 1;
    const bool undone = recoverFirst(mainProgram);
    qDebug() << (undone ? "恢复检查完成" : "无法恢复中断的更新");
    return undone ? 0 : 1;
}

} // namespace

int runUpdater(int argc, char **argv)
{
    platform::useOwnFileModes(); // a caller's umask 000 would open the installation's new folders to all
    qInstallMessageHandler(writeLog);
    platform::setFailureLog([](const std::string &line) { qWarning().noquote() << QString::fromStdString(line); });
    if (needsNoWindow(argc, argv))
        return runWithoutWindow(argc, argv);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(true);

    if (!platform::isAdministrator())
        return requestElevation(app);

    switch (guardMachine(0)) {
    case Guard::Ready:
        openRecord(app.arguments());
        // A run that ends before its window (bad input) is never taken for the previous one.
        runrecord::incomplete(QString(), QString());
        break;
    case Guard::AnotherRuns: tellAnotherUpdaterRuns(); return 1;
    case Guard::Refused: return 1;
    }

    QApplication::setApplicationName(QStringLiteral("FarwenUpdater"));
    QApplication::setApplicationVersion(QStringLiteral(FARWEN_UPDATER_VERSION));

    QCommandLineParser parser;
    setupCommandLine(parser);
    parser.process(app);

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
    IniFile config;
    if (config.load(QFileInfo(info.appPath).absolutePath() + QStringLiteral("/config.ini")))
        info.installedVersion = config.value(QStringLiteral("App"), QStringLiteral("Version"));
    qDebug() << "更新信息: 版本" << info.installedVersion << "->" << info.newVersion << "地址:" << info.downloadUrl
             << "sha256:" << info.sha256 << "完整包:" << info.fullDownloadUrl << info.fullSha256;
    QByteArray keys;
    if (!readPublisherKeys(QApplication::applicationDirPath(), &keys))
        return 1;
    info.publisherKeys = keys;

    applyAppearance(app);
    return runWindow(app, info);
}
