#include "startup/handover.h"

#include "startup/update_info.h"
#include "window/updater_window.h"

#include <QApplication>

int handOver(QApplication &app, const UpdateInfo &info)
{
    UpdaterWindow window(nullptr);
    window.setExpectedSha256(info.sha256);
    window.setUpdateInfo(info.appPath, info.newVersion, info.downloadUrl, info.mode, info.memo);
    window.setWindowFlags(window.windowFlags() | Qt::Tool);
    window.show();
    app.exec();
    return 0; // not reached: the window's destructor ends the process
}
