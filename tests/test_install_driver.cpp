// The whole installation pipeline on a worker thread, each outcome brought
// about by a real condition on a real sandbox installation.
#include "support/http_server.h"
#include "support/testable_engine.h"
#include "support/tool_double.h"
#include "support/tree_snapshot.h"

#include <QtTest>

namespace {

// Receives the engine's signals on the GUI thread, as the window does.
class Recorder : public QObject
{
public:
    explicit Recorder(UpdateEngine &engine) : engine(engine)
    {
        connect(&engine, &UpdateEngine::installProgress, this, [this](int p, const QString &m) {
            record(QStringLiteral("%1 %2").arg(p).arg(m));
        });
        connect(&engine, &UpdateEngine::errorOccurred, this, [this](const QString &e) { finish("error " + e); });
        connect(&engine, &UpdateEngine::updateFinished, this, [this](bool ok, const QString &m) {
            finish(QStringLiteral("finished %1 %2").arg(ok).arg(m));
        });
    }
    QStringList events;
    bool done = false;
    bool offGuiThread = false;
    bool runningAtFinish = true;

private:
    void record(const QString &e)
    {
        offGuiThread |= QThread::currentThread() != qApp->thread();
        events << e;
    }
    void finish(const QString &e)
    {
        record(e);
        runningAtFinish = engine.isRunning;
        done = true;
    }
    UpdateEngine &engine;
};

bool makeZip(const QString &zip, const QString &fromDir)
{
    QDir().mkpath(QFileInfo(zip).absolutePath());
    return QProcess::execute("/usr/bin/bsdtar", {"--format=zip", "-cf", zip, "-C", fromDir, "."}) == 0;
}

QStringList withoutFileProgress(const QStringList &events)
{
    QStringList out;
    for (const QString &e : events)
        if (!e.contains("Files: ") && !e.contains("Restoring files ("))
            out << e;
    return out;
}

} // namespace

class TestInstallDriver : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    QByteArray originalPath;
    QString app;
    QMap<QString, QByteArray> original;

    // A small installation, a package with a changed and a new file, an engine
    // that has "downloaded" it.
    void prepare(TestableEngine &engine)
    {
        app = root.path() + "/Prod";
        QDir(app).removeRecursively();
        writeTreeFile(app + "/Pellamo.exe", "main v1");
        writeTreeFile(app + "/config.ini", "[App]\nVersion=1.0\n");
        for (int i = 0; i < 12; ++i)
            writeTreeFile(app + QStringLiteral("/lib/m%1.dll").arg(i), QByteArray(100 + i, 'm'));
        original = snapshotTree(app);

        const QString pkg = root.path() + "/pkg";
        QDir(pkg).removeRecursively();
        writeTreeFile(pkg + "/Pellamo.exe", "main v2");
        writeTreeFile(pkg + "/added.dll", "new");
        QByteArray noise(4000, '\0'); // incompressible: the package passes the 1024-byte check
        for (char &c : noise)
            c = char(QRandomGenerator::global()->generate());
        writeTreeFile(pkg + "/blob.bin", noise);
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.0", "http://x/p.zip");
        QVERIFY(makeZip(engine.zipPath, pkg));
        engine.isRunning = true; // as after a successful download
    }

    // The unpacking tool fails after doing what the shell snippet does.
    void useFailingTar(const QString &name, const QString &shell)
    {
        ToolDoubles tools(root.path() + "/tools-" + name);
        tools.add("bsdtar", 1, shell);
        tools.activate();
    }

    void run(TestableEngine &engine, Recorder &rec)
    {
        QCOMPARE(engine.thread(), qApp->thread());
        engine.startInstall();
        QTRY_VERIFY_WITH_TIMEOUT(rec.done, 30000);
        QTRY_VERIFY(engine.workerThread->isFinished());
        QCOMPARE(engine.thread(), qApp->thread());
        QVERIFY(!rec.offGuiThread);
        QVERIFY(!rec.runningAtFinish);
        QVERIFY(!engine.isRunning);
    }

private slots:
    void initTestCase()
    {
        originalPath = qgetenv("PATH");
        qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8());
        QVERIFY(QFileInfo(QCoreApplication::applicationDirPath() + "/tasklist").isExecutable());
    }
    void cleanup() { qputenv("PATH", originalPath); }

    void success()
    {
        TestableEngine engine;
        prepare(engine);
        Recorder rec(engine);
        run(engine, rec);
        QCOMPARE(withoutFileProgress(rec.events),
                 QStringList({"70 Closing processes...", "75 Creating backup...", "80 Installing files..."})
                     + kExtractingSteps
                     + QStringList({"95 Finalizing...", "100 Finalizing", "finished 1 安装已成功完成"}));
        QVERIFY(rec.events.contains("80 Files: 14/14 "));
        const auto tree = snapshotTree(app);
        QCOMPARE(tree.value("Pellamo.exe"), QByteArray("main v2"));
        QCOMPARE(tree.value("added.dll"), QByteArray("new"));
        QVERIFY(QSettings(app + "/config.ini", QSettings::IniFormat).value("App/Version") == "2.0");
        QVERIFY(!QFileInfo::exists(engine.tempDir));
        QVERIFY(!QFileInfo::exists(engine.backupDir));

        // A second installation deletes the finished thread and starts a fresh one.
        QThread *first = engine.workerThread;
        QPointer<QThread> watch(first);
        QVERIFY(makeZip(engine.zipPath, root.path() + "/pkg"));
        Recorder again(engine);
        run(engine, again);
        QVERIFY(engine.workerThread != nullptr);
        QVERIFY(watch.isNull());
        QCOMPARE(again.events.last(), QStringLiteral("finished 1 安装已成功完成"));
    }

    // The main program cannot be stopped: nothing is touched.
    void processesSurvive()
    {
        ToolDoubles tools(root.path() + "/tools-a");
        tools.add("taskkill", 1);
        tools.add("tasklist", 0, "echo 'Pellamo.exe   99 Console 1 10 K'");
        tools.activate();
        TestableEngine engine;
        prepare(engine);
        Recorder rec(engine);
        run(engine, rec);
        QCOMPARE(rec.events, (QStringList{"70 Closing processes...", "90 Recovery started...",
                                          "error 无法关闭正在运行的程序，请手动关闭后重试，已恢复原版本"}));
        QCOMPARE(snapshotTree(app), original);
        QVERIFY(!QFileInfo::exists(engine.tempDir));
        QVERIFY(!QFileInfo::exists(engine.backupDir));
    }

    // The backup fails halfway; after the cause is gone a retry in the same
    // run succeeds although the partial backup is still there.
    void backupFailsThenRetry()
    {
        TestableEngine engine;
        prepare(engine);
        writeTreeFile(engine.backupDir + "/lib", "a file where a directory must go");
        Recorder rec(engine);
        run(engine, rec);
        QCOMPARE(withoutFileProgress(rec.events),
                 (QStringList{"70 Closing processes...", "75 Creating backup...", "error 创建备份失败，停止更新"}));
        QCOMPARE(snapshotTree(app, "_update_backup_"), original);
        QVERIFY(!QFileInfo::exists(engine.tempDir));
        QCOMPARE(snapshotTree(engine.backupDir).value("Pellamo.exe"), QByteArray("main v1")); // partial backup stays

        QFile::remove(engine.backupDir + "/lib");
        QVERIFY(makeZip(engine.zipPath, root.path() + "/pkg"));
        engine.isRunning = true;
        Recorder retry(engine);
        run(engine, retry);
        QCOMPARE(retry.events.last(), QStringLiteral("finished 1 安装已成功完成"));
        QCOMPARE(snapshotTree(app).value("Pellamo.exe"), QByteArray("main v2"));
        QVERIFY(!QFileInfo::exists(engine.backupDir));
    }

    void unpackFailsRestored()
    {
        useFailingTar("c", "echo garbage > \"$4/Pellamo.exe\"");
        TestableEngine engine;
        prepare(engine);
        Recorder rec(engine);
        run(engine, rec);
        QCOMPARE(withoutFileProgress(rec.events),
                 QStringList({"70 Closing processes...", "75 Creating backup...", "80 Installing files..."})
                     + kExtractingSteps + QStringList({"90 Recovery in progress...", "error 安装文件失败，已恢复原版本"}));
        QVERIFY(rec.events.contains("100 Restoring files (14/14)"));
        QCOMPARE(snapshotTree(app), original);
        QVERIFY(!QFileInfo::exists(engine.tempDir));
        QVERIFY(!QFileInfo::exists(engine.backupDir));
    }

    // One file cannot be put back: same outcome, but the backup that still
    // holds that file stays on disk.
    void unpackFailsPartlyRestored()
    {
        useFailingTar("c2", "rm \"$4/lib/m3.dll\" && mkdir -p \"$4/lib/m3.dll/x\"");
        TestableEngine engine;
        prepare(engine);
        Recorder rec(engine);
        run(engine, rec);
        QCOMPARE(rec.events.last(), QStringLiteral("error 安装文件失败，已恢复原版本"));
        QVERIFY(!QFileInfo::exists(engine.tempDir));
        QCOMPARE(snapshotTree(engine.backupDir).value("lib/m3.dll"), original.value("lib/m3.dll"));
        engine.cancel();
        QCOMPARE(snapshotTree(engine.backupDir).value("lib/m3.dll"), original.value("lib/m3.dll"));
    }

    void unpackFailsRestoreFails()
    {
        // Every file of the installation turned into a directory: nothing can be copied back.
        useFailingTar("d", "cd \"$4\" && find . -type f ! -path './_update_backup_*' | "
                           "while read f; do rm \"$f\" && mkdir \"$f\"; done");
        TestableEngine engine;
        prepare(engine);
        // This time the package comes through a real download.
        HttpServer server;
        QVERIFY(server.listen());
        HttpRoute route;
        route.bodyFile = root.path() + "/served.zip";
        QVERIFY(QFile::rename(engine.zipPath, route.bodyFile));
        server.route("/p.zip", route);
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.0", server.url("/p.zip"));
        engine.isRunning = false;
        QSignalSpy ready(&engine, &UpdateEngine::readyToInstall);
        engine.startDownload();
        QTRY_COMPARE(ready.count(), 1);
        Recorder rec(engine);
        run(engine, rec);
        QCOMPARE(rec.events.last(), QStringLiteral("error 安装失败且无法恢复，需要重新安装"));
        QVERIFY(rec.events.contains("90 Restoring files (0/14)"));
        QCOMPARE(snapshotTree(engine.backupDir), original); // every original file kept
        QVERIFY(QFileInfo::exists(engine.zipPath));
        engine.cancel(); // what closing the window does: both stay for recovery
        QCOMPARE(snapshotTree(engine.backupDir), original);
        QVERIFY(QFileInfo::exists(engine.zipPath));
    }

    void configFailureStillSucceeds()
    {
        TestableEngine engine;
        prepare(engine);
        QFile::remove(app + "/config.ini");
        Recorder rec(engine);
        run(engine, rec);
        QCOMPARE(rec.events.last(), QStringLiteral("finished 1 安装已成功完成"));
        QVERIFY(!QFileInfo::exists(app + "/config.ini"));
    }

    // Cancel while the pipeline works: no crash, nothing removed under it,
    // and the pipeline still ends with its one final signal.
    void cancelMidPipeline()
    {
        ToolDoubles tools(root.path() + "/tools-cancel");
        tools.add("taskkill", 128, "sleep 0.4");
        tools.activate();
        TestableEngine engine;
        prepare(engine);
        EngineTimings t = TestableEngine::fast();
        t.cancelThreadWait = 100;
        engine.setTimings(t);
        Recorder rec(engine);
        engine.startInstall();
        QTRY_VERIFY(rec.events.contains("70 Closing processes..."));
        engine.cancel();
        QVERIFY(QFileInfo::exists(engine.zipPath)); // still needed by the pipeline
        QVERIFY(engine.workerThread != nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(rec.done, 30000);
        QCOMPARE(rec.events.last(), QStringLiteral("finished 1 安装已成功完成"));
        QCOMPARE(snapshotTree(app).value("Pellamo.exe"), QByteArray("main v2"));
        QTRY_VERIFY(engine.workerThread->isFinished());
        engine.cancel(); // now the finished thread goes
        QVERIFY(engine.workerThread == nullptr);
    }
};

QTEST_GUILESS_MAIN(TestInstallDriver)
#include "test_install_driver.moc"
