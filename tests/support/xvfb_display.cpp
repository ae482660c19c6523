#include "xvfb_display.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

XvfbDisplay::XvfbDisplay()
{
    if (QStandardPaths::findExecutable("Xvfb").isEmpty())
        return;
    for (int attempt = 0; attempt < 5 && name.isEmpty(); ++attempt) {
        const int number = 100 + QRandomGenerator::global()->bounded(800);
        if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            continue;
        server.start("Xvfb", {QStringLiteral(":%1").arg(number), "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        if (!server.waitForStarted())
            return;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000 && server.state() == QProcess::Running) {
            if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number))) {
                name = QStringLiteral(":%1").arg(number);
                break;
            }
            QThread::msleep(50);
        }
    }
}

XvfbDisplay::~XvfbDisplay()
{
    server.terminate();
    server.waitForFinished(3000);
}

QString XvfbDisplay::xdotool(const QStringList &args, int *exitCode) const
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", name);
    p.setProcessEnvironment(env);
    p.start("xdotool", args);
    p.waitForFinished(15000);
    if (exitCode)
        *exitCode = p.exitCode();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}
