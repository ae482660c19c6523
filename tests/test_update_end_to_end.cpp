// Whole updates through the real binary at the real timings: a sandbox
// installation of running fixture programs, a package served on 127.0.0.1,
// the POSIX taskkill/tasklist stand-ins, bsdtar and config.ini.
#include "support/product_sandbox.h"
#include "support/tree_snapshot.h"
#include "support/updater_process.h"
#include "support/xvfb_display.h"

#include <QtTest>

namespace {

// Where "Restart" (after success) or a lone "Close" sits in the window.
const QStringList kSingleButton{"234", "288"};

} // namespace

class TestUpdateEndToEnd : public QObject
{
    Q_OBJECT

    // Runs the updater on the sandbox until it ends; returns its exit code.
    int runUpdater(ProductSandbox &box, const QProcessEnvironment &env, QProcess &updater, int timeoutMs = 60000)
    {
        updater.setProcessEnvironment(env);
        updater.start(updaterBinary(), {"-i", box.infoFile(), "-m", "manual"});
        if (!updater.waitForStarted())
            return -1;
        // Keep this event loop turning: the package server lives in it.
        QElapsedTimer clock;
        clock.start();
        while (updater.state() != QProcess::NotRunning && clock.elapsed() < timeoutMs)
            QTest::qWait(50);
        if (updater.state() != QProcess::NotRunning)
            return -1;
        return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -2;
    }

    // A whole update whose fixture daemon behaves as the variable says.
    int runWithDaemon(ProductSandbox &box, const QString &variable, const QString &value)
    {
        box.prepareUpdate();
        QProcessEnvironment env = box.environment();
        env.insert(variable, value);
        QProcess updater;
        return runUpdater(box, env, updater);
    }

    // The installation has ended successfully: new version recorded, work gone.
    static bool installed(const ProductSandbox &box)
    {
        return QSettings(box.app() + "/config.ini", QSettings::IniFormat).value("App/Version") == "2.0.0"
               && QDir(box.app()).entryList({"_update_backup_*"}, QDir::Dirs).isEmpty()
               && QDir(box.dataRoot()).entryList({"KarvoUpdate_*"}, QDir::Dirs).isEmpty();
    }

private slots:
    // The update from file to restarted product; the daemon's "install"
    // takes 3 s, "run" follows 1 s after it and the main program 2 s later.
    void success()
    {
        ProductSandbox box;
        box.startProduct();
        box.prepareUpdate();
        QTest::qWait(300);
        const QVector<ProductCall> before = box.calls();
        const auto userData = snapshotTree(box.app() + "/data");
        QProcessEnvironment env = box.environment();
        env.insert("FARWEN_FIXTURE_INSTALL_SECONDS", "3");
        QProcess updater;
        QCOMPARE(runUpdater(box, env, updater), 0);

        const auto tree = snapshotTree(box.app());
        QCOMPARE(tree.value("version.txt"), QByteArray("2.0.0"));
        QCOMPARE(tree.value("KarvoDeskServer/version.txt"), QByteArray("2.0.0"));
        QCOMPARE(tree.value("newfeature.dll").size(), 50000);
        QCOMPARE(snapshotTree(box.app() + "/data"), userData);
        QVERIFY(!QFileInfo::exists(box.infoFile()));
        QVERIFY(QDir(box.app()).entryList({"_update_backup_*"}, QDir::Dirs).isEmpty());
        QVERIFY(QDir(box.dataRoot()).entryList({"KarvoUpdate_*"}, QDir::Dirs).isEmpty());

        QSettings config(box.app() + "/config.ini", QSettings::IniFormat);
        QCOMPARE(config.value("App/Version").toString(), QStringLiteral("2.0.0"));
        QCOMPARE(config.value("Update/LastUpdateVersion").toString(), QStringLiteral("2.0.0"));
        QVERIFY(!config.contains("Update/LastPromptTime") && !config.contains("Update/LastCheckTime"));
        QVERIFY(QDateTime::fromString(config.value("Update/LastUpdateTime").toString(), "yyyy-MM-dd hh:mm:ss").isValid());

        for (const ProductCall &old : before)
            QVERIFY2(!box.isAlive(old.pid), qPrintable(old.program)); // all three were stopped

        const QString serverDir = box.app() + "/KarvoDeskServer";
        const auto stop = box.callsOf("KarvoDeskDaemon.exe", "stop");
        const auto install = box.callsOf("KarvoDeskDaemon.exe", "install");
        const auto run = box.callsOf("KarvoDeskDaemon.exe", "run");
        const auto main = box.callsOf("Pellamo.exe", "");
        QCOMPARE(stop.size(), 1);
        QCOMPARE(install.size(), 1);
        QCOMPARE(install.first().cwd, serverDir);
        QCOMPARE(run.size(), 2); // the product's own start, and the restart
        QCOMPARE(run.last().cwd, serverDir);
        QCOMPARE(main.size(), 2);
        QCOMPARE(main.last().cwd, box.app());
        QCOMPARE(main.last().version, QStringLiteral("2.0.0"));
        QVERIFY(box.isAlive(main.last().pid));
        QVERIFY(box.isAlive(run.last().pid));
        QVERIFY(install.first().time >= stop.first().time + 5000); // installing, then the 5 s countdown

        const qint64 toRun = run.last().time - install.first().time;
        const qint64 toMain = main.last().time - run.last().time;
        QVERIFY2(toRun >= 3900 && toRun < 5000, qPrintable(QString::number(toRun)));
        QVERIFY2(toMain >= 1900 && toMain < 3000, qPrintable(QString::number(toMain)));
    }

    // A hanging "install" is killed at 10 s; "run" at 11 s, the main program at 13 s.
    void hangingDaemonInstall()
    {
        ProductSandbox box;
        QCOMPARE(runWithDaemon(box, "FARWEN_FIXTURE_INSTALL_SECONDS", "60"), 0);
        const auto install = box.callsOf("KarvoDeskDaemon.exe", "install");
        const auto run = box.callsOf("KarvoDeskDaemon.exe", "run");
        const auto main = box.callsOf("Pellamo.exe", "");
        QCOMPARE(install.size(), 1);
        QCOMPARE(run.size(), 1);
        QCOMPARE(main.size(), 1);
        QVERIFY(!box.isAlive(install.first().pid));
        const qint64 toRun = run.first().time - install.first().time;
        const qint64 toMain = main.first().time - install.first().time;
        QVERIFY2(toRun >= 10900 && toRun < 12000, qPrintable(QString::number(toRun)));
        QVERIFY2(toMain >= 12900 && toMain < 14000, qPrintable(QString::number(toMain)));
    }

    // The daemon cannot be started with "run" (nor without arguments): the
    // main program is started 2 s later all the same.
    void daemonRunFails()
    {
        ProductSandbox box;
        QCOMPARE(runWithDaemon(box, "FARWEN_FIXTURE_BREAK_ON_INSTALL", "1"), 0);
        const auto install = box.callsOf("KarvoDeskDaemon.exe", "install");
        const auto main = box.callsOf("Pellamo.exe", "");
        QCOMPARE(install.size(), 1);
        QCOMPARE(box.callsOf("KarvoDeskDaemon.exe", "run").size(), 0);
        QCOMPARE(box.callsOf("KarvoDeskDaemon.exe", "").size(), 0);
        QCOMPARE(main.size(), 1);
        const qint64 toMain = main.first().time - install.first().time;
        QVERIFY2(toMain >= 2900 && toMain < 4000, qPrintable(QString::number(toMain)));
    }

    // Without the daemon the main program starts right after the countdown.
    void daemonMissing()
    {
        ProductSandbox box(false);
        box.prepareUpdate();
        QProcess updater;
        QCOMPARE(runUpdater(box, box.environment(), updater), 0);
        const qint64 endedAt = monotonicMs();
        QCOMPARE(box.calls().size(), 1);
        const ProductCall main = box.calls().first();
        QCOMPARE(main.program, QStringLiteral("Pellamo.exe"));
        QCOMPARE(main.version, QStringLiteral("2.0.0"));
        QVERIFY(endedAt - main.time < 1000); // started, then the updater ended at once
    }

    // "Restart" pressed twice: the sequence runs once.
    void doublePress()
    {
        XvfbDisplay x;
        if (!x.isRunning())
            QSKIP("Xvfb is not installed");
        ProductSandbox box;
        box.prepareUpdate();
        QProcessEnvironment env = box.environment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", x.display());
        env.insert("FARWEN_FIXTURE_INSTALL_SECONDS", "2");
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.start(updaterBinary(), {"-i", box.infoFile(), "-m", "manual"});
        QVERIFY(updater.waitForStarted());
        const QString window =
            x.xdotool({"search", "--sync", "--onlyvisible", "--pid", QString::number(updater.processId())})
                .split('\n')
                .first();
        QTRY_VERIFY_WITH_TIMEOUT(installed(box), 30000);
        QTest::qWait(500);
        x.xdotool(QStringList{"mousemove", "--window", window} + kSingleButton + QStringList{"click", "1", "click", "1"});
        QTRY_COMPARE_WITH_TIMEOUT(updater.state(), QProcess::NotRunning, 30000);
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(box.callsOf("KarvoDeskDaemon.exe", "install").size(), 1);
        QCOMPARE(box.callsOf("KarvoDeskDaemon.exe", "run").size(), 1);
        QCOMPARE(box.callsOf("Pellamo.exe", "").size(), 1);
        // Pressed at once, not after the countdown: install began well within 5 s of success.
        QVERIFY(box.callsOf("KarvoDeskDaemon.exe", "install").first().time
                < box.callsOf("KarvoDeskDaemon.exe", "stop").first().time + 5000 + 5000);
    }

    // A package that cannot be unpacked: the installation comes back byte for
    // byte, the product is not restarted, and "Close" ends the updater with 0.
    void unpackFailureRestores()
    {
        XvfbDisplay x;
        if (!x.isRunning())
            QSKIP("Xvfb is not installed");
        ProductSandbox box;
        box.startProduct();
        QByteArray garbage(5000, 'g');
        box.prepareUpdate(garbage);
        const auto original = snapshotTree(box.app());
        QProcessEnvironment env = box.environment();
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", x.display());
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.start(updaterBinary(), {"-i", box.infoFile(), "-m", "manual"});
        QVERIFY(updater.waitForStarted());
        const QString window =
            x.xdotool({"search", "--sync", "--onlyvisible", "--pid", QString::number(updater.processId())})
                .split('\n')
                .first();
        QByteArray log;
        QTRY_VERIFY_WITH_TIMEOUT((log += updater.readAllStandardError()).contains("恢复完成"), 30000);
        QTRY_VERIFY(QDir(box.app()).entryList({"_update_backup_*"}, QDir::Dirs).isEmpty());
        QTRY_VERIFY(QDir(box.dataRoot()).entryList({"KarvoUpdate_*"}, QDir::Dirs).isEmpty());
        QCOMPARE(snapshotTree(box.app()), original);
        QTest::qWait(6000); // no countdown, no restart
        QCOMPARE(updater.state(), QProcess::Running);
        QCOMPARE(box.callsOf("KarvoDeskDaemon.exe", "install").size(), 0);
        x.xdotool(QStringList{"mousemove", "--window", window} + kSingleButton + QStringList{"click", "1"});
        QTRY_COMPARE_WITH_TIMEOUT(updater.state(), QProcess::NotRunning, 10000);
        QCOMPARE(updater.exitCode(), 0);
        QCOMPARE(snapshotTree(box.app()), original);
    }
};

QTEST_GUILESS_MAIN(TestUpdateEndToEnd)
#include "test_update_end_to_end.moc"
