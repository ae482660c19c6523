#include "startup/startup.h"

#include "platform/platform.h"
#include "startup/handover.h"
#include "startup/stale_cleanup.h"
#include "startup/update_info.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QMessageBox>

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

    // Before anything is touched: a second updater would share its files.
    if (!platform::takeSingleInstanceLock()) {
        qCritical() << "已有更新程序在运行";
        return 1;
    }

    removeStaleWorkDirs(QDir::tempPath(), QString::fromStdString(platform::dataRoot()),
                        QDateTime::currentDateTime(), true);

    QApplication::setApplicationName(QStringLiteral("FarwenUpdater"));
    QApplication::setApplicationVersion(QStringLiteral("1.0.0"));

    QCommandLineParser parser;
    setupCommandLine(parser);
    parser.process(app);

    UpdateInfo info;
    if (!readUpdateInfo(parser, info))
        return 1;

    QDir::setCurrent(QApplication::applicationDirPath());
    const QString dataRoot = QString::fromStdString(platform::dataRoot());
    scheduleCompanionRemoval(info.companionPath, {QFileInfo(info.appPath).absolutePath(),
                                                  QApplication::applicationDirPath(), dataRoot});

    if (!checkUpdateInfo(info))
        return 1;
    // Relative to the updater's directory, which is no one's working directory later.
    info.appPath = QFileInfo(info.appPath).absoluteFilePath();

    applyAppearance(app);
    return handOver(app, info);
}
