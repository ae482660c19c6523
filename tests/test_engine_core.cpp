// Work paths, the disk-space rule and cancel without a download.
#include "support/log_capture.h"
#include "support/testable_engine.h"

#include <QtTest>

namespace {

void writeBytes(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(static_cast<int>(size), 'x'));
}

} // namespace

class TestEngineCore : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    QString data;

private slots:
    void initTestCase()
    {
        data = root.path() + "/programdata";
        QVERIFY(QDir().mkpath(data));
        qputenv("PROGRAMDATA", data.toUtf8());
    }

    void workPaths()
    {
        const QString dir = root.path() + "/Prod";
        writeBytes(dir + "/Pellamo.exe", 10);
        TestableEngine engine;
        QSignalSpy errors(&engine, &UpdateEngine::errorOccurred);
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        const QString stampBefore = QDateTime::currentDateTime().toString("yyyyMMdd_hhmmss");
        engine.setUpdateInfo(dir + "/Pellamo.exe", "2.0", "http://x/p.zip");
        const QString stampAfter = QDateTime::currentDateTime().toString("yyyyMMdd_hhmmss");
        const qint64 after = QDateTime::currentSecsSinceEpoch();

        QCOMPARE(errors.count(), 0);
        QCOMPARE(engine.appDir, dir);
        QCOMPARE(engine.configPath, dir + "/config.ini");
        QVERIFY(engine.tempDir.startsWith(data + "/KarvoUpdate_"));
        const qint64 stamp = engine.tempDir.mid(data.size() + 13).toLongLong();
        QVERIFY(stamp >= before && stamp <= after);
        QVERIFY(QFileInfo(engine.tempDir).isDir());
        QCOMPARE(engine.zipPath, engine.tempDir + "/update.zip");
        const QString backupStamp = engine.backupDir.mid(dir.size() + 1 + 15);
        QVERIFY(engine.backupDir.startsWith(dir + "/_update_backup_"));
        QVERIFY(backupStamp == stampBefore || backupStamp == stampAfter);
        QVERIFY(!QFileInfo::exists(engine.backupDir)); // made by the backup step only
        QDir(engine.tempDir).removeRecursively();
    }

    void missingProgram()
    {
        TestableEngine engine;
        QSignalSpy errors(&engine, &UpdateEngine::errorOccurred);
        const QStringList before = QDir(data).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        engine.setUpdateInfo(root.path() + "/Nowhere/Pellamo.exe", "2.0", "http://x/p.zip");
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("程序文件不存在，无法更新"));
        QCOMPARE(engine.appDir, root.path() + "/Nowhere");
        QCOMPARE(engine.configPath, root.path() + "/Nowhere/config.ini");
        QVERIFY(engine.tempDir.isEmpty());
        QVERIFY(engine.backupDir.isEmpty());
        QCOMPARE(QDir(data).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    }

    void diskSpace_data()
    {
        QTest::addColumn<qint64>("available");
        QTest::addColumn<bool>("passes");
        QTest::newRow("one byte short") << qint64(1999) << false;
        QTest::newRow("exactly twice") << qint64(2000) << true;
        QTest::newRow("unknown") << qint64(-1) << false;
    }
    void diskSpace()
    {
        QFETCH(qint64, available);
        QFETCH(bool, passes);
        QTemporaryDir install;
        writeBytes(install.path() + "/Pellamo.exe", 600);
        writeBytes(install.path() + "/lib/a.dll", 400);
        writeBytes(install.path() + "/_update_backup_20250101_000000/Pellamo.exe", 100000); // not counted
        writeBytes(install.path() + "/.hidden/big", 100000);                                // not counted
        TestableEngine engine;
        engine.setUpdateInfo(install.path() + "/Pellamo.exe", "2.0", "http://x/p.zip");
        QString askedFor;
        engine.availableBytes = [&](const QString &p) { askedFor = p; return available; };
        LogCapture log;
        QCOMPARE(engine.checkDiskSpace(), passes);
        QCOMPARE(askedFor, install.path());
        QVERIFY(log.contains("程序大小: 1000 字节"));
        QVERIFY(log.contains(QStringLiteral("磁盘空间 - 需要: 2000 可用: %1").arg(available)));
        QCOMPARE(log.contains("磁盘空间不足"), !passes);
        QDir(engine.tempDir).removeRecursively();
    }

    void emptyInstallationSkipsCheck()
    {
        QTemporaryDir install;
        writeBytes(install.path() + "/Pellamo.exe", 0);
        TestableEngine engine;
        engine.setUpdateInfo(install.path() + "/Pellamo.exe", "2.0", "http://x/p.zip");
        engine.availableBytes = [](const QString &) { return qint64(0); };
        LogCapture log;
        QVERIFY(engine.checkDiskSpace());
        QVERIFY(log.contains("无法计算程序大小，跳过空间检查"));
        QDir(engine.tempDir).removeRecursively();
    }

    void cancelWhenIdle()
    {
        QTemporaryDir install;
        writeBytes(install.path() + "/Pellamo.exe", 10);
        TestableEngine engine;
        engine.setUpdateInfo(install.path() + "/Pellamo.exe", "2.0", "http://x/p.zip");
        writeBytes(engine.backupDir + "/Pellamo.exe", 10);
        QSignalSpy anything(&engine, &UpdateEngine::errorOccurred);
        LogCapture log;
        engine.cancel();
        QVERIFY(log.contains("取消更新操作"));
        QVERIFY(log.contains(QStringLiteral("清理临时目录: \"%1\"").arg(engine.tempDir)));
        QVERIFY(!QFileInfo::exists(engine.tempDir));
        QVERIFY(!QFileInfo::exists(engine.backupDir));
        QVERIFY(QFileInfo::exists(install.path() + "/Pellamo.exe"));
        QVERIFY(!engine.isRunning);
        QCOMPARE(anything.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestEngineCore)
#include "test_engine_core.moc"
