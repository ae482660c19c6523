// Runs a whole update in-process with the real window and engine, and a
// repeating 5 ms timer on the GUI thread that records the longest gap between
// its ticks. Prints "gui_first_tick_ms N" once (the start-up: the window is
// built before the event loop runs, and nothing is on screen yet), then
// "gui_max_stall_ms N at T ms" whenever the maximum grows; the restart at the
// end ends the process. With STALL_LOG set the log stays on, to find what a
// stall's time coincides with. Usage: bench_update_gui_stall INFO_FILE
#include "engine/update_engine.h"
#include "startup/update_info.h"
#include "window/updater_window.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("STALL_LOG"))
        qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCommandLineParser parser;
    setupCommandLine(parser);
    parser.process(app);
    UpdateInfo info;
    if (!readUpdateInfo(parser, info))
        return 1;

    QElapsedTimer clock;
    clock.start();
    qint64 last = -1, worst = 0;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&]() {
        const qint64 now = clock.elapsed();
        if (last < 0) {
            std::printf("gui_first_tick_ms %lld\n", static_cast<long long>(now));
        } else if (now - last > worst) {
            worst = now - last;
            std::printf("gui_max_stall_ms %lld at %lld ms\n", static_cast<long long>(worst), static_cast<long long>(now));
            std::fflush(stdout);
        }
        last = now;
    });
    sampler.start(5);

    auto *window = new UpdaterWindow;
    window->setUpdateInfo(info.appPath, info.newVersion, info.downloadUrl, QStringLiteral("manual"), info.memo);
    window->show();
    return app.exec();
}
