// Unpacking the package over the installation: real ZIP archives through
// bsdtar, and tool doubles where the PowerShell/tar decisions matter.
#include "support/log_capture.h"
#include "support/testable_engine.h"
#include "support/tool_double.h"
#include "support/tree_snapshot.h"

#include <QtTest>

namespace {

// Builds a ZIP from name -> content pairs (names may be anything, "../x" too).
bool makeZip(const QString &zip, const QMap<QString, QByteArray> &entries)
{
    QString script = QStringLiteral("import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n");
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        script += QStringLiteral("z.writestr(%1, bytes.fromhex('%2'))\n")
                      .arg("'" + it.key() + "'", QString::fromLatin1(it.value().toHex()));
    script += "z.close()\n";
    return QProcess::execute("python3", {"-c", script, zip}) == 0;
}

} // namespace

class TestPackageExtraction : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    QByteArray originalPath;
    QString app;

    void prepare(TestableEngine &engine, const QString &dirName = "Prod")
    {
        app = root.path() + "/" + dirName;
        QDir(app).removeRecursively();
        writeTreeFile(app + "/Pellamo.exe", "main v1");
        writeTreeFile(app + "/lib/a.dll", "a v1");
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.0", "http://x/p.zip");
    }

private slots:
    void initTestCase()
    {
        originalPath = qgetenv("PATH");
        qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8());
    }
    void cleanup() { qputenv("PATH", originalPath); }

    // No PowerShell here: bsdtar unpacks, into a directory with a quote in its name.
    void realArchive()
    {
        TestableEngine engine;
        prepare(engine, "O'Brien App");
        QVERIFY(makeZip(engine.zipPath, {{"Pellamo.exe", "main v2"}, {"lib/a.dll", "a v2"}, {"new.dll", "n"}}));
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        LogCapture log;
        QVERIFY(engine.extractPackage());
        QCOMPARE(progressOf(progress), kExtractingSteps);
        QVERIFY(log.contains("尝试使用tar解压"));
        QVERIFY(log.contains("tar退出码: 0"));
        QVERIFY(log.contains("新增文件: \"new.dll\""));
        const auto tree = snapshotTree(app);
        QCOMPARE(tree.value("Pellamo.exe"), QByteArray("main v2"));
        QCOMPARE(tree.value("lib/a.dll"), QByteArray("a v2"));
        QDir(engine.tempDir).removeRecursively();
    }

    void climbingEntryStaysInside()
    {
        TestableEngine engine;
        prepare(engine);
        QVERIFY(makeZip(engine.zipPath, {{"../escaped.txt", "out"}, {"../../escaped2.txt", "out"}, {"ok.txt", "in"}}));
        engine.extractPackage();
        QVERIFY(!QFileInfo::exists(root.path() + "/escaped.txt"));
        QVERIFY(!QFileInfo::exists(QFileInfo(root.path()).absolutePath() + "/escaped2.txt"));
        QDir(engine.tempDir).removeRecursively();
    }

    // PowerShell receives the script Base64-encoded as UTF-16LE, quotes doubled;
    // its success makes tar unnecessary.
    void powerShellCommand()
    {
        ToolDoubles tools(root.path() + "/tools-ps");
        tools.add("pwsh", 0);
        tools.add("bsdtar", 0);
        tools.activate();
        TestableEngine engine;
        prepare(engine, "It's Prod");
        writeTreeFile(engine.zipPath, QByteArray(200, 'z'));
        LogCapture log;
        QVERIFY(engine.extractPackage());
        const QStringList calls = tools.calls();
        QCOMPARE(calls.size(), 1);
        const QStringList parts = calls.first().split('|');
        QCOMPARE(parts.mid(0, 3), (QStringList{"pwsh", "-NoProfile", "-EncodedCommand"}));
        const QByteArray utf16 = QByteArray::fromBase64(parts.at(3).toLatin1());
        const QString script = QString::fromUtf16(reinterpret_cast<const char16_t *>(utf16.constData()), utf16.size() / 2);
        QCOMPARE(script, QStringLiteral("try { Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force "
                                        "-ErrorAction Stop; exit 0 } catch { Write-Error $_; exit 1 }")
                             .arg(QString(engine.zipPath).replace("'", "''"), QString(app).replace("'", "''")));
        QVERIFY(log.contains("PowerShell退出码: 0"));
        QVERIFY(!log.contains("尝试使用tar解压"));
        QDir(engine.tempDir).removeRecursively();
    }

    void decisions_data()
    {
        QTest::addColumn<int>("psExit");
        QTest::addColumn<int>("tarExit");
        QTest::addColumn<QString>("tarCreates"); // file the tar double leaves in the installation
        QTest::addColumn<bool>("result");
        QTest::newRow("ps 1, tar 0") << 1 << 0 << QString() << true;
        QTest::newRow("both fail, new top-level file") << 1 << 2 << "fresh.dll" << true;
        QTest::newRow("both fail, nothing new") << 1 << 2 << QString() << false;
        QTest::newRow("both fail, new file only below") << 1 << 2 << "lib/deeper.dll" << false;
    }
    void decisions()
    {
        QFETCH(int, psExit);
        QFETCH(int, tarExit);
        QFETCH(QString, tarCreates);
        QFETCH(bool, result);
        ToolDoubles tools(root.path() + "/tools-" + QString::number(qHash(QTest::currentDataTag())));
        tools.add("pwsh", psExit, "echo 'Expand-Archive: boom' >&2");
        tools.add("bsdtar", tarExit, tarCreates.isEmpty() ? QString() : "echo x > '" + tarCreates + "'");
        tools.activate();
        TestableEngine engine;
        prepare(engine);
        writeTreeFile(engine.zipPath, QByteArray(200, 'z'));
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        LogCapture log;
        QCOMPARE(engine.extractPackage(), result);
        QCOMPARE(progressOf(progress), kExtractingSteps); // also when the step fails
        QCOMPARE(tools.calls().size(), 2);
        QCOMPARE(tools.calls().at(1), QStringLiteral("bsdtar|-xf|%1|-C|%2").arg(engine.zipPath, app));
        QVERIFY(log.contains(QStringLiteral("PowerShell退出码: %1").arg(psExit)));
        QVERIFY(log.contains(QStringLiteral("tar退出码: %1").arg(tarExit)));
        QCOMPARE(log.contains("新增文件: \"fresh.dll\""), tarCreates == "fresh.dll");
        QVERIFY(log.contains(QStringLiteral("解压结果: 命令成功= %1 , 新增文件= %2 , 最终结果= %3")
                                 .arg(tarExit == 0 ? "true" : "false", tarCreates == "fresh.dll" ? "true" : "false",
                                      result ? "true" : "false")));
        QCOMPARE(log.contains("解压错误: \"Expand-Archive: boom\\n\""), !result);
        QDir(engine.tempDir).removeRecursively();
    }

    // PowerShell that hangs is ended before tar starts.
    void hangingPowerShellEndedFirst()
    {
        ToolDoubles tools(root.path() + "/tools-hang");
        tools.add("pwsh", 0, QStringLiteral("echo $$ > '%1/ps.pid'; sleep 30").arg(root.path()));
        tools.add("bsdtar", 0, QStringLiteral("kill -0 $(cat '%1/ps.pid') 2>/dev/null && echo overlap > '%1/overlap'")
                                   .arg(root.path()));
        tools.activate();
        TestableEngine engine;
        prepare(engine);
        EngineTimings t = TestableEngine::fast();
        t.powerShellWait = 500;
        engine.setTimings(t);
        writeTreeFile(engine.zipPath, QByteArray(200, 'z'));
        LogCapture log;
        QVERIFY(engine.extractPackage());
        QVERIFY(!QFileInfo::exists(root.path() + "/overlap"));
        QVERIFY(!log.contains("PowerShell退出码: 0"));
        QDir(engine.tempDir).removeRecursively();
    }

    void unusablePackage()
    {
        TestableEngine engine;
        prepare(engine);
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        LogCapture log;
        QVERIFY(!engine.extractPackage());
        QVERIFY(log.contains(QStringLiteral("错误：临时文件不存在: \"%1\"").arg(engine.zipPath)));
        writeTreeFile(engine.zipPath, QByteArray(99, 'z'));
        QVERIFY(!engine.extractPackage());
        QVERIFY(log.contains("错误：更新包文件太小，可能损坏"));
        QCOMPARE(progress.count(), 0);
        QDir(engine.tempDir).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestPackageExtraction)
#include "test_package_extraction.moc"
