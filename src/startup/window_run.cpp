#include "startup/window_run.h"

#include "engine/update_engine.h"
#include "startup/run_record.h"
#include "startup/update_info.h"
#include "window/updater_window.h"

#include "platform/platform.h"

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>

int runWindow(QApplication &app, const UpdateInfo &info)
{
    UpdaterWindow window(nullptr);
    // Written before anything else happens.
    runrecord::incomplete(info.installedVersion, info.newVersion);
    const auto record = [info](const QString &message, Outcome outcome) {
        runrecord::result(outcome, message, info.installedVersion, info.newVersion);
    };
    QObject::connect(window.updateEngine(), &UpdateEngine::updateFinished, &window, [record](bool success, const QString &message) {
        if (success) // never otherwise: the run would stay incomplete
            record(message, Outcome::Installed);
    }, Qt::DirectConnection);
    QObject::connect(window.updateEngine(), &UpdateEngine::errorOccurred, &window, record, Qt::DirectConnection);
    window.setExpectedSha256(info.sha256);
    window.setSignatureInputs(info.publisherKeys, info.signature);
    window.setFullDownloadUrl(info.fullDownloadUrl, info.fullSha256, info.fullSignature);
    window.setUpdateInfo(info.appPath, info.newVersion, info.downloadUrl, info.mode, info.memo);
    window.setWindowFlags(window.windowFlags() | Qt::Tool);
    window.show();
    // Ending the session or SIGTERM must not cut an installation in half.
    QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window](QSessionManager &) {
        window.requestTermination();
    });
    const int requests = platform::terminationRequests();
    if (requests >= 0) {
        auto *notifier = new QSocketNotifier(requests, QSocketNotifier::Read, &window);
        QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window]() {
            platform::clearTerminationRequests();
            window.requestTermination();
        });
    }
    app.exec();
    return 0; // not reached: the window's destructor ends the process
}
