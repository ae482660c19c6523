// The window (offscreen) and the restart of a sandbox product at short
// timings. The window never ends this process: endProcess only records.
#include "engine/update_engine.h"
#include "support/product_sandbox.h"
#include "support/tool_double.h"
#include "window/updater_window.h"

#include <QtTest>
#include <QLabel>
#include <QPushButton>

class TestableWindow : public UpdaterWindow
{
public:
    explicit TestableWindow(const WindowTimings &t = WindowTimings())
    {
        setTimings(t);
        // Outlives the window: the destructor ends the process after the subclass is gone.
        endProcess = [codes = endCodes](int code) { *codes << code; };
    }
    using UpdaterWindow::cancelButton;
    using UpdaterWindow::engine;
    using UpdaterWindow::restartButton;
    using UpdaterWindow::state;
    using UpdaterWindow::statusLabel;
    using UpdaterWindow::updateButton;
    using UpdaterWindow::websiteButton;
    std::shared_ptr<QList<int>> endCodes = std::make_shared<QList<int>>();

    QStringList buttons() const
    {
        QStringList out;
        for (QPushButton *b : {updateButton, cancelButton, restartButton, websiteButton})
            if (b->isVisibleTo(this))
                out << b->text() + (b->isEnabled() ? "" : " (disabled)");
        return out;
    }
};

namespace {

// Runs the event loop until something quits it, or gives up.
bool quitsAfter(const std::function<void()> &action, int withinMs = 1500)
{
    QTimer giveUp;
    QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(42); });
    giveUp.start(withinMs);
    QTimer::singleShot(0, action);
    return QCoreApplication::exec() == 0;
}

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT
    ProductSandbox box;
    QList<QPointer<TestableWindow>> windows;

    TestableWindow *makeWindow(const QString &mode, const QString &path = "/slow.zip")
    {
        auto *w = new TestableWindow(WindowTimings{100, 300, 3600 * 1000, 10000, 1000, 50}); // no countdown
        windows << w;
        w->setUpdateInfo(box.mainProgram(), "2.0.0", box.server.url(path), mode, QString());
        return w;
    }

private slots:
    void initTestCase()
    {
        qputenv("PROGRAMDATA", box.dataRoot().toUtf8());
        qputenv("FARWEN_FIXTURE_LOG", box.environment().value("FARWEN_FIXTURE_LOG").toUtf8());
        HttpRoute slow(200, HttpServer::pattern(400000));
        slow.dripBytes = 1000;
        slow.dripIntervalMs = 50;
        for (const char *path : {"/slow.zip", "/manual.zip", "/auto.zip"})
            box.server.route(path, slow);
    }
    // One window at a time: Qt 6 closes every window when one quits.
    void cleanup()
    {
        for (const auto &w : windows)
            delete w.data();
        windows.clear();
    }

    // "manual" starts by itself after 100 ms, "auto" waits for the click;
    // Cancel returns to idle, Cancel in idle quits.
    void startModesAndCancel()
    {
        TestableWindow *manual = makeWindow("MANUAL", "/manual.zip");
        TestableWindow *automatic = makeWindow("auto", "/auto.zip");
        QCOMPARE(manual->state, STATE_IDLE);
        QTRY_COMPARE(manual->state, STATE_DOWNLOADING);
        QTRY_COMPARE(box.server.requestCount("/manual.zip"), 1);
        QTest::mouseClick(manual->cancelButton, Qt::LeftButton);
        QCOMPARE(manual->state, STATE_IDLE);
        QCOMPARE(box.server.requestCount("/auto.zip"), 0);
        QTest::mouseClick(automatic->updateButton, Qt::LeftButton);
        QTRY_COMPARE(box.server.requestCount("/auto.zip"), 1);
        QTest::mouseClick(automatic->cancelButton, Qt::LeftButton);
        QVERIFY(!automatic->engine->isRunning);
        QTest::mouseClick(automatic->updateButton, Qt::LeftButton); // a new work directory after the cancel
        QTRY_COMPARE(box.server.requestCount("/auto.zip"), 2);
        QTest::mouseClick(automatic->cancelButton, Qt::LeftButton);
        QVERIFY(quitsAfter([automatic] { QTest::mouseClick(automatic->cancelButton, Qt::LeftButton); }));
    }

    // Each failure's presentation; closing after one that left the old
    // version in place starts what the update stopped (the daemon, then the
    // main program, nothing that still runs); after any other, nothing.
    void failurePresentation_data()
    {
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QString>("running"); // before the close
        QTest::addColumn<QStringList>("calls"); // after the close
        const QString restored = "Update failed, restored to previous version";
        const QStringList both{"KarvoDeskDaemon.exe run", "Pellamo.exe "};
        QTest::newRow("integrity") << Outcome::Integrity << int(STATE_DOWNLOAD_FAILED) << "Download failed"
                                                << QStringList{"Retry", "Close"} << "" << QStringList{};
        QTest::newRow("restored") << Outcome::Restored << int(STATE_INSTALL_FAILED_RESTORED) << restored
                                  << QStringList{"Close"} << "" << both;
        QTest::newRow("restored, daemon survived") << Outcome::Restored << int(STATE_INSTALL_FAILED_RESTORED) << restored
                                                   << QStringList{"Close"} << "KarvoDeskServer/KarvoDeskDaemon.exe"
                                                   << QStringList{"Pellamo.exe "};
        QTest::newRow("processes running") << Outcome::ProcessesRunning << int(STATE_INSTALL_FAILED_RESTORED) << restored
                                                  << QStringList{"Close"} << "" << both;
        QTest::newRow("backup failed, main survived") << Outcome::BackupFailed << int(STATE_INSTALL_FAILED_RESTORED)
                                                      << restored << QStringList{"Close"} << "Pellamo.exe"
                                                      << QStringList{"KarvoDeskDaemon.exe run"};
        // Without an answer from tasklist, what the updater stopped is started again.
        QTest::newRow("restored, tasklist fails") << Outcome::Restored << int(STATE_INSTALL_FAILED_RESTORED) << restored
                                                  << QStringList{"Close"} << "tasklist exit 1" << both;
        QTest::newRow("restored, tasklist hangs") << Outcome::Restored << int(STATE_INSTALL_FAILED_RESTORED) << restored
                                                  << QStringList{"Close"} << "tasklist sleep 30" << both;
        QTest::newRow("critical") << Outcome::Critical << int(STATE_INSTALL_FAILED_CRITICAL)
                                  << "Critical error! Please download from website" << QStringList{"Close", "Website"}
                                  << "" << QStringList{};
    }
    void failurePresentation()
    {
        QFETCH(Outcome, outcome);
        QFETCH(int, state);
        QFETCH(QString, status);
        QFETCH(QStringList, buttons);
        QFETCH(QString, running);
        QFETCH(QStringList, calls);
        ProductSandbox product;
        qputenv("FARWEN_FIXTURE_LOG", product.environment().value("FARWEN_FIXTURE_LOG").toUtf8());
        ToolDoubles tools(product.path() + "/tools");
        if (running.startsWith("tasklist ")) {
            tools.add("tasklist", 0, running.mid(9));
            running.clear();
        }
        QProcess main;
        const QStringList before{running.isEmpty() ? QString() : QFileInfo(running).fileName() + (running.contains("Daemon") ? " run" : " ")};
        if (!running.isEmpty()) {
            main.start(product.app() + "/" + running, running.contains("Daemon") ? QStringList{"run"} : QStringList());
            QVERIFY(main.waitForStarted());
            QTRY_COMPARE(product.callNames(), before);
        }
        auto *w = new TestableWindow(WindowTimings{100, 300, 3600 * 1000, 10000, 1000, 50, 300});
        windows << w;
        w->setUpdateInfo(product.mainProgram(), "2.0.0", box.server.url("/slow.zip"), "auto", QString());
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        emit w->engine->installProgress(70, "Closing processes...");
        w->engine->cancel();
        emit w->engine->errorOccurred(outcomes::message(outcome), outcome);
        QCOMPARE(int(w->state), state);
        QCOMPARE(w->statusLabel->text(), status);
        QCOMPARE(w->buttons(), buttons);
        if (state == STATE_DOWNLOAD_FAILED) { // "Retry", then Cancel returns to idle
            QTest::mouseClick(w->updateButton, Qt::LeftButton);
            QCOMPARE(w->buttons(), QStringList{"Cancel"});
            QVERIFY(!quitsAfter([w] { QTest::mouseClick(w->cancelButton, Qt::LeftButton); }, 300));
            QCOMPARE(w->state, STATE_IDLE);
        }
        QVERIFY(quitsAfter([w] { QTest::mouseClick(w->cancelButton, Qt::LeftButton); }));
        QTRY_COMPARE_WITH_TIMEOUT(product.callNames(), (running.isEmpty() ? QStringList() : before) + calls, 15000);
        QTest::qWait(200);
        QCOMPARE(product.callNames(), (running.isEmpty() ? QStringList() : before) + calls);
        main.kill();
        main.waitForFinished();
    }

    // Downloading turns into installing at 70 %, not before; only success
    // ends it, and a close while installing waits for the installation's end.
    void closeWhileInstalling()
    {
        TestableWindow *w = makeWindow("auto");
        w->show();
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        emit w->engine->installProgress(69, "early");
        QCOMPARE(w->state, STATE_DOWNLOADING);
        emit w->engine->installProgress(70, "Closing processes...");
        QCOMPARE(w->buttons(), QStringList{"Installing... (disabled)"});
        emit w->engine->updateFinished(false, "ignored");
        QVERIFY(!w->close());
        QCOMPARE(w->state, STATE_INSTALLING);
        w->engine->isRunning = false;
        const auto codes = w->endCodes;
        const QPointer<TestableWindow> alive(w);
        QVERIFY(quitsAfter([w] { emit w->engine->errorOccurred(outcomes::message(Outcome::Critical), Outcome::Critical); }));
        if (alive) { // Qt 6 closes the windows itself when quitting
            QCOMPARE(w->state, STATE_INSTALL_FAILED_CRITICAL);
            QVERIFY(w->close());
        }
        QTRY_VERIFY(alive.isNull()); // deleted on close, and the process ends with 0
        QCOMPARE(*codes, QList<int>{0});
    }

    // SIGTERM or the session's end before the installation has begun ends
    // the updater as Cancel does; while installing, the installation ends
    // first, then the updater quits and starts nothing.
    void terminationWaitsForTheInstallation()
    {
        TestableWindow *waiting = makeWindow("auto");
        waiting->engine->isRunning = true; // the package checked, the installation due in 300 ms
        QVERIFY(quitsAfter([waiting] {
            emit waiting->engine->readyToInstall();
            waiting->requestTermination();
        }));
        QTest::qWait(400);
        QVERIFY(!waiting->engine->installing() && !waiting->engine->isRunning);
        TestableWindow *w = makeWindow("auto");
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        emit w->engine->installProgress(70, "Closing processes...");
        w->requestTermination();
        QVERIFY(!quitsAfter([] {}, 300));
        const int calls = box.calls().size();
        QVERIFY(quitsAfter([w] { emit w->engine->errorOccurred(outcomes::message(Outcome::Restored), Outcome::Restored); }));
        QTest::qWait(200);
        QCOMPARE(box.calls().size(), calls);
    }

    // After success: five ticks, daemon "install" (killed at its time-out),
    // "run" after it, the main program last, then the process ends with 0.
    void restart_data()
    {
        QTest::addColumn<QString>("variant");
        QTest::addColumn<bool>("daemon");
        QTest::addColumn<QStringList>("calls");
        const QStringList all{"KarvoDeskDaemon.exe install", "KarvoDeskDaemon.exe run", "Pellamo.exe "};
        QTest::newRow("normal") << "" << true << all;
        QTest::newRow("hanging install") << "FARWEN_FIXTURE_INSTALL_SECONDS" << true << all;
        QTest::newRow("run fails") << "FARWEN_FIXTURE_BREAK_ON_INSTALL" << true
                                   << QStringList{"KarvoDeskDaemon.exe install", "Pellamo.exe "};
        QTest::newRow("no daemon") << "" << false << QStringList{"Pellamo.exe "};
        QTest::newRow("install cannot start") << "noexec" << true << QStringList{"Pellamo.exe "};
        QTest::newRow("double press") << "press" << true << all;
    }
    void restart()
    {
        QFETCH(QString, variant);
        QFETCH(bool, daemon);
        QFETCH(QStringList, calls);
        ProductSandbox product(daemon);
        qputenv("FARWEN_FIXTURE_LOG", product.environment().value("FARWEN_FIXTURE_LOG").toUtf8());
        if (variant.startsWith("FARWEN_"))
            qputenv(variant.toUtf8(), "30");
        if (variant == "noexec")
            QFile::setPermissions(product.app() + "/KarvoDeskServer/KarvoDeskDaemon.exe", QFileDevice::ReadOwner);
        auto *w = new TestableWindow(WindowTimings{100, 300, 100, 400, 200, 600});
        windows << w;
        w->setUpdateInfo(product.mainProgram(), "2.0.0", product.server.url("/p.zip"), "auto", QString());
        const qint64 finishedAt = monotonicMs();
        emit w->engine->updateFinished(true, "安装已成功完成");
        QStringList texts{w->restartButton->text()};
        if (variant == "press") {
            QTest::mouseClick(w->restartButton, Qt::LeftButton);
            QVERIFY(!w->restartButton->isEnabled()); // restarting at once, not at the countdown's end
            QTest::mouseClick(w->restartButton, Qt::LeftButton);
        }
        QElapsedTimer clock;
        clock.start();
        while (w->endCodes->isEmpty() && clock.elapsed() < 5000) {
            QTest::qWait(2);
            if (texts.last() != w->restartButton->text())
                texts << w->restartButton->text();
        }
        QTest::qWait(variant == "press" ? 300 : 100); // the countdown's own end must not restart again
        qunsetenv(variant.toUtf8());
        QCOMPARE(*w->endCodes, QList<int>{0});
        QCOMPARE(product.callNames(), calls);
        const QVector<ProductCall> c = product.calls();
        // Each gap at least its delays; at most those and 3 s more, so that a machine at load 16
        // passes (the delays' order is what the lower bounds tell apart).
        const auto within = [](qint64 gap, qint64 from) { return gap >= from && gap < from + 3000; };
        if (variant == "press") {
            QVERIFY(within(c.first().time - finishedAt, 0));
            return;
        }
        QCOMPARE(texts, (QStringList{"Restart", "Restart (4)", "Restart (3)", "Restart (2)", "Restart (1)"}));
        // The main program comes after the daemon's delays, even when neither daemon step could start.
        QVERIFY(within(c.first().time - finishedAt, variant == "noexec" ? 1250 : 450));
        // install -> run: its end (at once, or killed at 400 ms) + 200 ms; run (even failed) -> main: 600 ms.
        // Less 100 ms: each time is the fixture's own, after its start, which a loaded machine delays.
        const qint64 installTime = variant == "FARWEN_FIXTURE_INSTALL_SECONDS" ? 400 : 0;
        if (calls.size() == 3) {
            QVERIFY2(within(c.at(1).time - c.at(0).time, installTime + 100) && within(c.at(2).time - c.at(1).time, 500),
                     qPrintable(QString("%1 %2").arg(c.at(1).time - c.at(0).time).arg(c.at(2).time - c.at(1).time)));
            QTRY_VERIFY(!product.isAlive(c.at(0).pid)); // killed: gone once the kernel has reaped it
        } else if (daemon && calls.size() == 2)
            QVERIFY(within(c.at(1).time - c.at(0).time, 700));
        QVERIFY(product.isAlive(c.last().pid));
    }

};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
