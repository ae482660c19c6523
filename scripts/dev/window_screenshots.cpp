// Renders the updater window in its downloading and its success state to PNG
// files, for the README. Usage: farwen_window_screenshots OUTDIR
#include "engine/update_engine.h"
#include "window/updater_window.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstdlib>

class ShotWindow : public UpdaterWindow
{
public:
    using UpdaterWindow::engine;
};

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QString out = app.arguments().value(1, QStringLiteral("."));
    QTemporaryDir sandbox;
    qputenv("PROGRAMDATA", sandbox.path().toUtf8());
    QFile program(sandbox.path() + "/Pellamo.exe");
    program.open(QIODevice::WriteOnly);
    program.close();

    QTcpServer silent; // accepts and never answers: the download stays in progress
    silent.listen(QHostAddress::LocalHost);
    auto *w = static_cast<ShotWindow *>(new UpdaterWindow);
    w->setUpdateInfo(program.fileName(), "2.0.0", QStringLiteral("http://127.0.0.1:%1/update.zip").arg(silent.serverPort()), "auto",
                     "Version 2.0.0\\n- Faster start-up\\n- New synchronisation module\\n- Fixes for the tray icon");
    w->show();
    app.processEvents();
    QMetaObject::invokeMethod(w, "onUpdateNowClicked");
    emit w->engine->progressChanged(35, QStringLiteral("Download: 35%"));
    app.processEvents();
    w->grab().save(out + "/window-downloading.png");

    w->engine->cancel();
    emit w->engine->installProgress(70, QStringLiteral("Closing processes..."));
    emit w->engine->updateFinished(true, QStringLiteral("安装已成功完成"));
    app.processEvents();
    w->grab().save(out + "/window-success.png");
    std::_Exit(0); // the window would end the process and restart the product
}
