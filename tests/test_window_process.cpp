// The window through the real binary on a private X server: closing it ends
// the updater with exit code 0, also in the middle of a download.
#include "support/http_server.h"
#include "support/updater_process.h"
#include "support/xvfb_display.h"

#include <QtTest>

class TestWindowProcess : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    HttpServer server;

private slots:
    void initTestCase()
    {
        HttpRoute slow;
        slow.bodySize = 10000000;
        slow.dripBytes = 1000;
        slow.dripIntervalMs = 50;
        server.route("/slow.zip", slow);
        QVERIFY(server.listen());
    }

    void closeEndsWithZero_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::newRow("idle") << "auto";
        QTest::newRow("downloading") << "manual";
    }
    void closeEndsWithZero()
    {
        QFETCH(QString, mode);
        XvfbDisplay x;
        if (!x.isRunning())
            QSKIP("Xvfb is not installed");
        const QString prod = root.path() + "/Prod";
        QDir().mkpath(prod);
        QFile main(prod + "/Pellamo.exe");
        QVERIFY(main.open(QIODevice::WriteOnly));
        main.write("main");
        main.close();
        const QString info = root.path() + "/info.json";
        QFile f(info);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("{\"app_path\": \"%1\", \"new_version\": \"2.0\", \"download_url\": \"%2\"}")
                    .arg(prod + "/Pellamo.exe", server.url("/slow.zip"))
                    .toUtf8());
        f.close();
        QDir().mkpath(root.path() + "/pd");
        QDir().mkpath(root.path() + "/tmp");

        QProcessEnvironment env = updaterEnvironment(root.path() + "/pd", root.path() + "/tmp");
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", x.display());
        QProcess updater;
        updater.setProcessEnvironment(env);
        const int requestsBefore = server.requestCount();
        updater.start(updaterBinary(), {"-i", info, "-m", mode});
        QVERIFY(updater.waitForStarted());
        const QString window = x.xdotool({"search", "--sync", "--onlyvisible", "--pid",
                                          QString::number(updater.processId())}).split('\n').first();
        QVERIFY2(!window.isEmpty(), updater.readAllStandardError().constData());
        if (mode == "manual") {
            QTRY_COMPARE(server.requestCount(), requestsBefore + 1);
            QVERIFY(QDir(root.path() + "/pd").entryList({"KarvoUpdate_*"}, QDir::Dirs).size() == 1);
        }
        x.xdotool({"windowfocus", "--sync", window});
        x.xdotool({"key", "--window", window, "Escape"});
        QVERIFY(updater.waitForFinished(10000));
        QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
        QCOMPARE(updater.exitCode(), 0);
        // The cancelled download left no work directory behind.
        QCOMPARE(QDir(root.path() + "/pd").entryList({"KarvoUpdate_*"}, QDir::Dirs), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestWindowProcess)
#include "test_window_process.moc"
