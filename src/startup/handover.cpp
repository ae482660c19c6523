#include "startup/handover.h"

#include "startup/update_info.h"

#include <QApplication>
#include <QTimer>

int handOver(QApplication &app, const UpdateInfo &info)
{
    Q_UNUSED(info);
    // No window to end the run yet: keep the loop alive long enough for the
    // companion-directory removal and its retry, then end normally.
    QTimer::singleShot(3500, &app, &QApplication::quit);
    app.exec();
    return 0;
}
