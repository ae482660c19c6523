// Downloads from a real HTTP server on 127.0.0.1.
#include "support/http_server.h"
#include "support/log_capture.h"
#include "support/testable_engine.h"

#include <QtTest>

namespace {

// One ordered record of the engine's signals, in the same list as the log.
void recordSignals(UpdateEngine &engine, LogCapture &log)
{
    QObject::connect(&engine, &UpdateEngine::statusChanged, [&log](const QString &s) { log.add("status:" + s); });
    QObject::connect(&engine, &UpdateEngine::progressChanged,
                     [&log](int p, const QString &m) { log.add(QStringLiteral("progress:%1:%2").arg(p).arg(m)); });
    QObject::connect(&engine, &UpdateEngine::readyToInstall, [&log]() { log.add("ready"); });
    QObject::connect(&engine, &UpdateEngine::errorOccurred, [&log](const QString &e) { log.add("error:" + e); });
}

QStringList matching(const QStringList &events, const QString &prefix)
{
    QStringList out;
    for (const QString &e : events)
        if (e.startsWith(prefix))
            out << e;
    return out;
}

bool ended(const LogCapture &log)
{
    const QStringList e = log.events();
    return !matching(e, "ready").isEmpty() || !matching(e, "error:").isEmpty();
}

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    HttpServer server;
    QString program;

    void prepare(TestableEngine &engine, const QString &path)
    {
        engine.setUpdateInfo(program, "2.0", server.url(path));
    }

private slots:
    void initTestCase()
    {
        qputenv("PROGRAMDATA", (root.path() + "/programdata").toUtf8());
        QVERIFY(QDir().mkpath(root.path() + "/programdata"));
        program = root.path() + "/Prod/Pellamo.exe";
        QDir().mkpath(root.path() + "/Prod");
        QFile f(program);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("main program");
        f.close();
        QVERIFY(server.listen());
    }

    // Runs first: the progress filter lives for the whole process.
    void progressArithmetic()
    {
        TestableEngine engine;
        LogCapture log;
        recordSignals(engine, log);
        auto progress = [&](qint64 received, qint64 total) {
            QMetaObject::invokeMethod(&engine, "onDownloadProgress", Q_ARG(qint64, received), Q_ARG(qint64, total));
        };
        progress(14285, 1000000);
        progress(14286, 1000000);
        progress(500000, 1000000);
        progress(500001, 1000000); // also 35: filtered
        progress(2000000, 1000000);
        progress(1000000, 1000000); // 70 again: filtered
        progress(100, 0);
        progress(200, -1);
        QCOMPARE(matching(log.events(), "progress:"),
                 (QStringList{"progress:0:Download: 0%", "progress:1:Download: 1%", "progress:35:Download: 35%",
                              "progress:70:Download: 70%", "progress:0:Download...", "progress:0:Download..."}));
        QCOMPARE(log.count("第一次下载进度回调"), 1);
        QCOMPARE(log.count("下载进度: 35 %"), 1);

        engine.cancelled = true;
        progress(10, 1000);
        QCOMPARE(matching(log.events(), "progress:").size(), 6);
    }

    void completeDownload_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("withLength");
        QTest::addColumn<bool>("passes");
        QTest::newRow("1025 bytes") << "/p1025.zip" << qint64(1025) << true << true;
        QTest::newRow("1024 bytes") << "/p1024.zip" << qint64(1024) << true << false;
        QTest::newRow("no length") << "/nolen.zip" << qint64(300000) << false << true;
        QTest::newRow("redirect") << "/moved" << qint64(200000) << true << true;
    }
    void completeDownload()
    {
        QFETCH(QString, path);
        QFETCH(qint64, size);
        QFETCH(bool, withLength);
        QFETCH(bool, passes);
        HttpRoute r;
        r.bodySize = size;
        r.contentLength = withLength;
        if (!withLength) { // several notifications, not one
            r.dripBytes = 30000;
            r.dripIntervalMs = 5;
        }
        if (path == "/moved") {
            server.route("/target.zip", r);
            HttpRoute redirect;
            redirect.status = 302;
            redirect.location = server.url("/target.zip").toUtf8();
            server.route(path, redirect);
        } else {
            server.route(path, r);
        }

        TestableEngine engine;
        prepare(engine, path);
        LogCapture log;
        recordSignals(engine, log);
        engine.startDownload();
        QVERIFY(engine.isRunning);
        QVERIFY(!QFileInfo::exists(engine.zipPath));
        QTRY_VERIFY_WITH_TIMEOUT(ended(log), 10000);

        const QStringList events = log.events();
        const QStringList sig = matching(events, "status:") + matching(events, "ready") + matching(events, "error:");
        QCOMPARE(sig.first(), QStringLiteral("status:Contacting server..."));
        QVERIFY(sig.contains("status:Checking file integrity..."));
        QFile zip(engine.zipPath);
        QVERIFY(zip.open(QIODevice::ReadOnly));
        QCOMPARE(zip.readAll(), HttpServer::pattern(size));
        QVERIFY(!QFileInfo::exists(engine.zipPath + ".part"));
        QVERIFY(log.contains(QStringLiteral("下载完成，数据大小: %1 字节").arg(size)));
        QVERIFY(log.contains(QStringLiteral("文件校验: \"%1\" 大小: %2 结果: %3")
                                 .arg(engine.zipPath).arg(size).arg(passes ? "true" : "false")));
        if (passes) {
            QCOMPARE(events.mid(events.size() - 2),
                     (QStringList{"progress:70:Download finished", "ready"}));
            QVERIFY(engine.isRunning);
        } else {
            QCOMPARE(events.last(), QStringLiteral("error:文件完整性校验失败"));
            QVERIFY(!engine.isRunning);
        }
        if (!withLength) {
            const QStringList progress = matching(events, "progress:");
            QVERIFY(progress.size() >= 2);
            for (int i = 0; i < progress.size() - 1; ++i)
                QCOMPARE(progress.at(i), QStringLiteral("progress:0:Download..."));
        }
        QDir(engine.tempDir).removeRecursively();
    }

    // The filter compares with the last percent sent by any download: a
    // second complete download does not send 70 % again.
    void filterAcrossDownloads()
    {
        HttpRoute r;
        r.bodySize = 50000;
        server.route("/again.zip", r);
        TestableEngine reset;
        QMetaObject::invokeMethod(&reset, "onDownloadProgress", Q_ARG(qint64, 1), Q_ARG(qint64, 100));
        for (int round = 0; round < 2; ++round) {
            TestableEngine engine;
            prepare(engine, "/again.zip");
            LogCapture log;
            recordSignals(engine, log);
            engine.startDownload();
            QTRY_VERIFY_WITH_TIMEOUT(ended(log), 10000);
            QCOMPARE(log.contains("progress:70:Download: 70%"), round == 0);
            QCOMPARE(log.count("第一次下载进度回调"), 0);
            QDir(engine.tempDir).removeRecursively();
        }
    }

    void networkErrors_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("404") << "/missing.zip";
        QTest::newRow("dropped mid-body") << "/dropped.zip";
    }
    void networkErrors()
    {
        QFETCH(QString, path);
        HttpRoute dropped;
        dropped.bodySize = 400000;
        dropped.dropAfter = 100000;
        server.route("/dropped.zip", dropped);

        TestableEngine engine;
        prepare(engine, path);
        LogCapture log;
        recordSignals(engine, log);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(log.contains("currentReply为空"), 10000);

        QStringList events = log.events();
        const int at = events.indexOf(QRegularExpression("^下载错误: \".+\"$"));
        QVERIFY2(at >= 0, qPrintable(events.join('\n')));
        const QString text = events.at(at).mid(7, events.at(at).size() - 8);
        QVERIFY2(events.mid(at, 4) == (QStringList{events.at(at), "error:下载失败: " + text,
                                                 "onDownloadFinished 被调用", "currentReply为空"}), qPrintable(events.join("\n")));
        QCOMPARE(matching(events, "error:").size(), 1);
        QVERIFY(matching(events.mid(at), "progress:").isEmpty()); // nothing after the failure
        QVERIFY(!engine.isRunning);
        QVERIFY(!QFileInfo::exists(engine.zipPath));
        QVERIFY(!QFileInfo::exists(engine.zipPath + ".part"));
        QDir(engine.tempDir).removeRecursively();
    }

    void secondStartIgnored()
    {
        HttpRoute slow;
        slow.bodySize = 20000;
        slow.dripBytes = 1000;
        slow.dripIntervalMs = 20;
        server.route("/slow.zip", slow);
        TestableEngine engine;
        prepare(engine, "/slow.zip");
        LogCapture log;
        recordSignals(engine, log);
        engine.startDownload();
        engine.startDownload();
        QVERIFY(log.contains("已经在运行中，忽略重复启动"));
        QTRY_VERIFY_WITH_TIMEOUT(ended(log), 10000);
        QCOMPARE(server.requestCount("/slow.zip"), 1);
        QCOMPARE(log.count("status:Contacting server..."), 1);
        QCOMPARE(log.count("ready"), 1);
        QDir(engine.tempDir).removeRecursively();
    }

    void notEnoughDiskSpace()
    {
        TestableEngine engine;
        prepare(engine, "/nospace.zip");
        engine.availableBytes = [](const QString &) { return qint64(1); };
        LogCapture log;
        recordSignals(engine, log);
        engine.startDownload();
        QTest::qWait(200);
        QCOMPARE(matching(log.events(), "error:"), QStringList{"error:磁盘空间不足，无法完成更新"});
        QCOMPARE(matching(log.events(), "status:").size(), 0);
        QCOMPARE(server.requestCount("/nospace.zip"), 0);
        QVERIFY(!engine.isRunning);
        QDir(engine.tempDir).removeRecursively();
    }

    // Cancel stops the transfer silently and removes both work directories;
    // a new download afterwards works.
    void cancelThenRetry()
    {
        HttpRoute slow;
        slow.bodySize = 200000;
        slow.dripBytes = 2000;
        slow.dripIntervalMs = 10;
        server.route("/drip.zip", slow);
        TestableEngine engine;
        prepare(engine, "/drip.zip");
        QVERIFY(QDir().mkpath(engine.backupDir));
        LogCapture log;
        recordSignals(engine, log);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!matching(log.events(), "progress:").isEmpty(), 5000);
        engine.cancel();
        const int afterCancel = log.events().size();
        QVERIFY(!engine.isRunning);
        QVERIFY(!QFileInfo::exists(engine.tempDir));
        QVERIFY(!QFileInfo::exists(engine.backupDir));
        QTest::qWait(500);
        const QStringList late = log.events().mid(afterCancel);
        QVERIFY2(matching(late, "progress:").isEmpty() && matching(late, "error:").isEmpty()
                     && matching(late, "ready").isEmpty(),
                 qPrintable(late.join('\n')));

        log.clear();
        HttpRoute quick;
        quick.bodySize = 5000;
        server.route("/drip.zip", quick);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(ended(log), 10000);
        QVERIFY(log.contains("ready"));
        QCOMPARE(QFileInfo(engine.zipPath).size(), qint64(5000));
        QDir(engine.tempDir).removeRecursively();
    }

    void unwritableWorkDirectory()
    {
        TestableEngine engine;
        prepare(engine, "/p1025.zip");
        // A plain file where the work directory should be: nothing can be saved.
        QDir(engine.tempDir).removeRecursively();
        QFile blocker(engine.tempDir);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LogCapture log;
        recordSignals(engine, log);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(ended(log), 5000);
        QCOMPARE(matching(log.events(), "error:"), QStringList{"error:无法保存临时下载文件"});
        QVERIFY(log.contains("无法打开文件写入"));
        QVERIFY(!engine.isRunning);
        QFile::remove(engine.tempDir);
    }
};

QTEST_GUILESS_MAIN(TestDownload)
#include "test_download.moc"
