// Backup and restore on real installation trees.
#include "support/log_capture.h"
#include "support/testable_engine.h"
#include "support/tree_snapshot.h"

#include <QtTest>

class TestBackupRestore : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    QString app;

    void makeEngine(TestableEngine &engine)
    {
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.0", "http://x/p.zip");
        QDir(engine.tempDir).removeRecursively();
    }

private slots:
    void init()
    {
        qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8());
        app = root.path() + "/Prod";
        QDir(app).removeRecursively();
        // 25 visible files at several depths, plus what must be left alone.
        writeTreeFile(app + "/Pellamo.exe", "main v1");
        for (int i = 1; i < 20; ++i)
            writeTreeFile(app + QStringLiteral("/lib/part%1.dll").arg(i), QByteArray(i * 100, char('a' + i)));
        for (int i = 0; i < 5; ++i)
            writeTreeFile(app + QStringLiteral("/data/deep/x%1.dat").arg(i), QByteArray::number(i));
        writeTreeFile(app + "/.settings", "hidden");
        writeTreeFile(app + "/.cache/blob", "in hidden dir");
        writeTreeFile(app + "/_update_backup_20240101_101010/Pellamo.exe", "old backup");
    }

    void backupThenRestore()
    {
        const auto original = snapshotTree(app);
        TestableEngine engine;
        makeEngine(engine);
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        LogCapture log;
        QVERIFY(engine.createBackup());
        QCOMPARE(progressOf(progress), (QStringList{"77 Files: 10/25 ", "79 Files: 20/25 ", "80 Files: 25/25 "}));
        QVERIFY(log.contains("备份完成，成功率: 全部成功"));
        const auto backup = snapshotTree(engine.backupDir);
        QCOMPARE(backup.size(), 25);
        QVERIFY(!backup.contains(".settings") && !backup.contains(".cache/blob"));
        for (auto it = backup.cbegin(); it != backup.cend(); ++it)
            QCOMPARE(it.value(), original.value(it.key()));

        // A failed unpacking: files changed, added, a new directory made.
        writeTreeFile(app + "/Pellamo.exe", "broken");
        writeTreeFile(app + "/lib/part3.dll", "");
        writeTreeFile(app + "/new.dll", "new");
        writeTreeFile(app + "/newdir/inner.txt", "new");
        progress.clear();
        QVERIFY(engine.restoreBackup());
        QCOMPARE(progressOf(progress).last(), QStringLiteral("100 Restoring files (25/25)"));
        QCOMPARE(progressOf(progress).first(), QStringLiteral("94 Restoring files (10/25)"));
        QVERIFY(log.contains("恢复完成: 成功 25 / 25"));

        QVERIFY(QFileInfo(app + "/newdir").isDir()); // directories stay, empty
        QVERIFY(!QFileInfo::exists(app + "/newdir/inner.txt"));
        QCOMPARE(snapshotTree(app, QFileInfo(engine.backupDir).fileName()), original); // hidden files and the old backup untouched too

        engine.cleanupTempDir();
        engine.cleanupBackupDir();
        QVERIFY(!QFileInfo::exists(engine.backupDir));
    }

    // A file that cannot be put back (a directory now stands in its place):
    // the restore still counts, and the backup is kept since it holds that file.
    void restoreWithOneFailure()
    {
        TestableEngine engine;
        makeEngine(engine);
        QVERIFY(engine.createBackup());
        QFile::remove(app + "/data/deep/x2.dat");
        QVERIFY(QDir().mkpath(app + "/data/deep/x2.dat/blocker"));
        LogCapture log;
        QVERIFY(engine.restoreBackup());
        QVERIFY(log.contains("恢复文件失败: \"data/deep/x2.dat\""));
        QVERIFY(log.contains("恢复完成: 成功 24 / 25"));
        engine.cleanupBackupDir();
        QCOMPARE(snapshotTree(engine.backupDir).value("data/deep/x2.dat"), QByteArray("2"));
    }

    void emptyOrMissingBackup()
    {
        const auto original = snapshotTree(app);
        TestableEngine engine;
        makeEngine(engine);
        LogCapture log;
        QVERIFY(!engine.restoreBackup()); // not made yet
        QVERIFY(log.contains(QStringLiteral("备份目录不存在或为空: \"%1\"").arg(engine.backupDir)));
        QVERIFY(QDir().mkpath(engine.backupDir + "/emptysub"));
        QVERIFY(!engine.restoreBackup());
        QVERIFY(log.contains("备份目录为空"));
        QCOMPARE(snapshotTree(app, QFileInfo(engine.backupDir).fileName()), original);
    }

    // A second backup in the same run, over what an earlier attempt left.
    void backupOverPartialBackup()
    {
        TestableEngine engine;
        makeEngine(engine);
        writeTreeFile(engine.backupDir + "/Pellamo.exe", "stale partial copy");
        QVERIFY(engine.createBackup());
        QCOMPARE(snapshotTree(engine.backupDir).value("Pellamo.exe"), QByteArray("main v1"));
        engine.cleanupBackupDir();
    }

    void emptyInstallation()
    {
        QDir(app).removeRecursively();
        writeTreeFile(app + "/.hidden_only", "x");
        QVERIFY(QDir().mkpath(app));
        TestableEngine engine;
        engine.setUpdateInfo(app + "/.hidden_only", "2.0", "http://x/p.zip");
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        LogCapture log;
        QVERIFY(engine.createBackup());
        QCOMPARE(progress.count(), 0);
        QVERIFY(log.contains("备份完成，成功率: 全部成功"));
        QVERIFY(QFileInfo(engine.backupDir).isDir());
        engine.cleanupTempDir();
        engine.cleanupBackupDir();
    }
};

QTEST_GUILESS_MAIN(TestBackupRestore)
#include "test_backup_restore.moc"
