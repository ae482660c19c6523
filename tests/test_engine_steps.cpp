// The engine's steps one by one on real files, real processes and a real
// HTTP server on 127.0.0.1.
#include "support/http_server.h"
#include "support/testable_engine.h"
#include "support/tool_double.h"
#include "support/tree_snapshot.h"

#include <QtTest>

Q_DECLARE_METATYPE(HttpRoute)

namespace {

// The download's signals in order, as "kind:text".
struct Events : QStringList
{
    explicit Events(UpdateEngine &engine)
    {
        QObject::connect(&engine, &UpdateEngine::statusChanged, [this](const QString &s) { *this << "status:" + s; });
        QObject::connect(&engine, &UpdateEngine::progressChanged,
                         [this](int p, const QString &m) { *this << QStringLiteral("progress:%1:%2").arg(p).arg(m); });
        QObject::connect(&engine, &UpdateEngine::readyToInstall, [this]() { *this << "ready"; });
        QObject::connect(&engine, &UpdateEngine::errorOccurred, [this](const QString &e) { *this << "error:" + e; });
    }
    QStringList finals() const { return filter(QRegularExpression("^(ready|error:)")); }
    QString outcome() const { return finals().value(0); }
};

} // namespace

class TestEngineSteps : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    HttpServer server;
    QByteArray originalPath;
    QString app;

    // A small installation with a hidden file, a nested directory and config.ini.
    void install(TestableEngine &engine)
    {
        app = root.path() + "/Prod";
        QDir(app).removeRecursively();
        writeTreeFile(app + "/Pellamo.exe", "main v1");
        writeTreeFile(app + "/config.ini", "[App]\nVersion=1.0\n");
        for (int i = 0; i < 23; ++i)
            writeTreeFile(app + QStringLiteral("/data/deep/x%1.dat").arg(i), QByteArray::number(i));
        writeTreeFile(app + "/.settings", "hidden");
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", server.url("/p.zip"));
    }

private slots:
    void initTestCase()
    {
        originalPath = qgetenv("PATH");
        qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8());
        QVERIFY(QDir().mkpath(root.path() + "/pd"));
    }
    void cleanup() { qputenv("PATH", originalPath); }

    void download_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<HttpRoute>("route");
        QTest::addColumn<QString>("result");
        HttpRoute ok;
        ok.body = HttpServer::pattern(300000);
        HttpRoute noLength = ok;
        noLength.contentLength = false;
        HttpRoute small = ok;
        small.body = HttpServer::pattern(1024);
        HttpRoute dropped = ok;
        dropped.dropAfter = 100000;
        HttpRoute missing;
        missing.status = 404;
        HttpRoute redirect;
        redirect.status = 302;
        redirect.location = server.url("/ok.zip").toUtf8();
        server.route("/ok.zip", ok);
        QTest::newRow("complete") << "/ok.zip" << ok << "ready";
        QTest::newRow("no length") << "/nolen.zip" << noLength << "ready";
        QTest::newRow("redirect") << "/moved.zip" << redirect << "ready";
        QTest::newRow("1024 bytes") << "/small.zip" << small << "error:文件完整性校验失败";
        QTest::newRow("404") << "/missing.zip" << missing << "error:下载失败: ";
        QTest::newRow("dropped") << "/dropped.zip" << dropped << "error:下载失败: ";
    }
    void download()
    {
        QFETCH(QString, path);
        QFETCH(HttpRoute, route);
        QFETCH(QString, result);
        server.route(path, route);
        TestableEngine engine;
        install(engine);
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", server.url(path));
        Events log(engine);
        engine.startDownload();
        engine.startDownload(); // ignored while running
        QTRY_VERIFY_WITH_TIMEOUT(!log.outcome().isEmpty(), 10000);
        QVERIFY2(log.outcome().startsWith(result), qPrintable(log.join('\n')));
        QCOMPARE(log.count("status:Contacting server..."), 1);
        QCOMPARE(engine.isRunning.load(), result == "ready");
        QVERIFY(!QFileInfo::exists(engine.zipPath + ".part"));
        if (result == "ready") {
            QCOMPARE(log.mid(log.size() - 2), (QStringList{"progress:70:Download finished", "ready"}));
            QFile zip(engine.zipPath);
            QVERIFY(zip.open(QIODevice::ReadOnly));
            QCOMPARE(zip.readAll(), HttpServer::pattern(300000));
        } else if (result != "error:文件完整性校验失败") {
            QVERIFY(!QFileInfo::exists(engine.zipPath));
        }
        QTest::qWait(50);
        QCOMPARE(log.finals().size(), 1);
        engine.cancel();
    }

    // Percent of 70, each value once; unknown size shows "Download...".
    void progressScale()
    {
        TestableEngine engine;
        Events log(engine);
        for (auto [received, total] : {std::pair<qint64, qint64>{14285, 1000000}, {14286, 1000000}, {500000, 1000000},
                                       {500001, 1000000}, {2000000, 1000000}, {100, 0}})
            QMetaObject::invokeMethod(&engine, "onDownloadProgress", Q_ARG(qint64, received), Q_ARG(qint64, total));
        QCOMPARE(log.filter("progress:"),
                 (QStringList{"progress:0:Download: 0%", "progress:1:Download: 1%", "progress:35:Download: 35%",
                              "progress:70:Download: 70%", "progress:0:Download..."}));
    }

    // Cancel mid-transfer: silent, work directories gone; a new start works.
    void cancelThenRetry()
    {
        HttpRoute slow;
        slow.body = HttpServer::pattern(200000);
        slow.dripBytes = 2000;
        slow.dripIntervalMs = 10;
        server.route("/drip.zip", slow);
        TestableEngine engine;
        install(engine);
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", server.url("/drip.zip"));
        QVERIFY(QDir().mkpath(engine.backupDir));
        Events log(engine);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!log.filter("progress:").isEmpty(), 5000);
        engine.cancel();
        QVERIFY(!engine.isRunning);
        QVERIFY(!QFileInfo::exists(engine.tempDir) && !QFileInfo::exists(engine.backupDir));
        QTest::qWait(300);
        QCOMPARE(log.outcome(), QString());
        HttpRoute quick;
        quick.body = HttpServer::pattern(5000);
        server.route("/drip.zip", quick);
        engine.startDownload();
        QTRY_COMPARE(log.outcome(), QStringLiteral("ready"));
        QCOMPARE(QFileInfo(engine.zipPath).size(), qint64(5000));
        engine.cancel();
    }

    // Twice the installation's size must be free; the backup is not counted.
    void diskSpace_data()
    {
        QTest::addColumn<qint64>("available");
        QTest::addColumn<bool>("passes");
        QTest::newRow("one byte short") << qint64(2 * 255) << false;
        QTest::newRow("exactly twice") << qint64(2 * 256) << true;
    }
    void diskSpace()
    {
        QFETCH(qint64, available);
        QFETCH(bool, passes);
        TestableEngine engine;
        install(engine);
        QFile::resize(app + "/Pellamo.exe", 256 - 18 - 36); // 256 bytes with config.ini and data
        writeTreeFile(engine.backupDir + "/Pellamo.exe", QByteArray(100000, 'b'));
        engine.availableBytes = [&](const QString &) { return available; };
        QCOMPARE(engine.checkDiskSpace(), passes);
        Events log(engine);
        engine.startDownload();
        QCOMPARE(log.outcome(), passes ? QString() : QStringLiteral("error:磁盘空间不足，无法完成更新"));
        engine.cancel();
    }

    // The backup holds every file; the restore brings the tree back byte for
    // byte and keeps a backup it could not fully put back.
    void backupAndRestore()
    {
        TestableEngine engine;
        install(engine);
        const auto original = snapshotTree(app);
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        QVERIFY(engine.createBackup());
        QCOMPARE(progressOf(progress).first(), QStringLiteral("77 Files: 10/25 "));
        QCOMPARE(progressOf(progress).last(), QStringLiteral("80 Files: 25/25 "));
        writeTreeFile(app + "/Pellamo.exe", "main v2");
        writeTreeFile(app + "/data/deep/x3.dat", "changed");
        QFile::remove(app + "/data/deep/x4.dat");
        progress.clear();
        QVERIFY(engine.restoreBackup());
        QCOMPARE(progressOf(progress).last(), QStringLiteral("100 Restoring files (25/25)"));
        QCOMPARE(snapshotTree(app, "_update_backup_"), original);

        QFile::remove(app + "/data/deep/x2.dat");
        QVERIFY(QDir().mkpath(app + "/data/deep/x2.dat/blocker"));
        QVERIFY(engine.restoreBackup()); // partly
        engine.cleanupBackupDir();
        QCOMPARE(snapshotTree(engine.backupDir).value("data/deep/x2.dat"), QByteArray("2"));
        QDir(engine.backupDir).removeRecursively();
        QVERIFY(!engine.restoreBackup()); // no backup, nothing to restore
    }

    // PowerShell first, then tar; success needs one of them or a new top-level file.
    void extraction_data()
    {
        QTest::addColumn<int>("psExit");
        QTest::addColumn<int>("tarExit");
        QTest::addColumn<bool>("tarCreates");
        QTest::addColumn<bool>("result");
        QTest::newRow("powershell") << 0 << -1 << false << true;
        QTest::newRow("tar") << 1 << 0 << false << true;
        QTest::newRow("both fail") << 1 << 2 << false << false;
        QTest::newRow("both fail, new file") << 1 << 2 << true << true;
    }
    void extraction()
    {
        QFETCH(int, psExit);
        QFETCH(int, tarExit);
        QFETCH(bool, tarCreates);
        QFETCH(bool, result);
        ToolDoubles tools(root.path() + QStringLiteral("/tools-x%1%2%3").arg(psExit).arg(tarExit).arg(tarCreates));
        tools.add("pwsh", psExit);
        tools.add("bsdtar", tarExit, tarCreates ? "touch \"$4/fresh.dll\"" : "");
        TestableEngine engine;
        install(engine);
        writeTreeFile(engine.zipPath, QByteArray(200, 'z'));
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        QCOMPARE(engine.extractPackage(), result);
        QCOMPARE(progressOf(progress), kExtractingSteps);
        QCOMPARE(tools.calls().size(), tarExit < 0 ? 1 : 2);
        if (tarExit >= 0)
            QCOMPARE(tools.calls().at(1), QStringLiteral("bsdtar|-xf|%1|-C|%2").arg(engine.zipPath, app));
        engine.cancel();
    }
};

QTEST_GUILESS_MAIN(TestEngineSteps)
#include "test_engine_steps.moc"
