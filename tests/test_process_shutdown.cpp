// Stopping the product: the exact tool calls and decisions with doubles, and
// real processes really gone with the POSIX stand-ins.
#include "support/log_capture.h"
#include "support/testable_engine.h"
#include "support/tool_double.h"

#include <QtTest>

namespace {

const QString kMain = QStringLiteral("Pellamo.exe");
const QString kDaemon = QStringLiteral("KarvoDeskDaemon.exe");
const QString kServer = QStringLiteral("KarvoDeskServer.exe");

QString fixtureProgram()
{
    return QCoreApplication::applicationDirPath() + "/farwen_fixture_program";
}

void installFixture(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QVERIFY(QFile::copy(fixtureProgram(), path));
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
}

QString kill(const QString &name, bool tree)
{
    return "taskkill|/F|/IM|" + name + (tree ? "|/T" : "");
}

QString query(const QString &name)
{
    return "tasklist|/FI|IMAGENAME eq " + name;
}

} // namespace

class TestProcessShutdown : public QObject
{
    Q_OBJECT
    QByteArray originalPath;

private slots:
    void initTestCase() { originalPath = qgetenv("PATH"); }
    void cleanup() { qputenv("PATH", originalPath); }

    void withDoubles_data()
    {
        QTest::addColumn<bool>("daemonPresent");
        QTest::addColumn<QString>("leftover");    // name tasklist still shows after the kills
        QTest::addColumn<QString>("mainListing"); // what tasklist prints for the main program
        QTest::addColumn<bool>("closed");
        QTest::newRow("server left over") << true << kServer << QString() << true;
        QTest::newRow("main survives") << true << QString() << QString("Pellamo.exe   4242 Console 1 900 K") << false;
        QTest::newRow("main in other case") << true << QString() << QString("pellamo.exe   4242 Console 1 900 K") << true;
        QTest::newRow("no daemon file") << false << QString() << QString() << true;
    }
    void withDoubles()
    {
        QFETCH(bool, daemonPresent);
        QFETCH(QString, leftover);
        QFETCH(QString, mainListing);
        QFETCH(bool, closed);

        QTemporaryDir root;
        const QString app = root.path() + "/Prod";
        installFixture(app + "/" + kMain);
        if (daemonPresent)
            installFixture(app + "/KarvoDeskServer/" + kDaemon);
        const QString fixtureLog = root.path() + "/fixture.log";
        qputenv("FARWEN_FIXTURE_LOG", fixtureLog.toUtf8());

        ToolDoubles tools(root.path() + "/tools");
        tools.add("taskkill", 128);
        tools.add("tasklist", 0, QStringLiteral("n=\"${2#IMAGENAME eq }\"; [ -f \"%1/list.$n\" ] && cat \"%1/list.$n\"")
                                     .arg(tools.dir()));
        auto writeListing = [&](const QString &name, const QString &text) {
            QFile f(tools.dir() + "/list." + name);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(("Image Name   PID\n" + text + "\n").toUtf8());
        };
        if (!leftover.isEmpty())
            writeListing(leftover, leftover + "   777 Console 1 100 K");
        if (!mainListing.isEmpty())
            writeListing(kMain, mainListing);
        tools.activate();

        TestableEngine engine;
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/" + kMain, "2.0", "http://x/p.zip");
        LogCapture log;
        QCOMPARE(engine.closeProcesses(), closed);

        QStringList expected{kill(kDaemon, true), kill(kServer, true), kill(kMain, false), query(kDaemon)};
        if (leftover == kDaemon)
            expected << kill(kDaemon, true);
        expected << query(kServer);
        if (leftover == kServer)
            expected << kill(kServer, true);
        expected << query(kMain);
        if (!closed)
            expected << kill(kMain, false); // exactly one second kill
        expected << query(kMain);
        QCOMPARE(tools.calls(), expected);

        QFile calls(fixtureLog);
        const bool logged = calls.open(QIODevice::ReadOnly);
        const QString daemonCalls = logged ? QString::fromUtf8(calls.readAll()) : QString();
        QCOMPARE(daemonCalls.count(kDaemon + " args=[stop]"), daemonPresent ? 1 : 0);
        QVERIFY(log.contains(QStringLiteral("守护进程路径: \"%1/KarvoDeskServer/%2\" 存在: %3")
                                 .arg(app, kDaemon, daemonPresent ? "true" : "false")));
        QVERIFY(log.contains(QStringLiteral("关闭 \"%1\" 退出码: 128").arg(kMain)));
        QVERIFY(log.contains(closed ? "主程序关闭状态: 已关闭" : "主程序关闭状态: 可能仍在运行"));
        QCOMPARE(log.events().last(), QStringLiteral("关闭进程完成"));
        qunsetenv("FARWEN_FIXTURE_LOG");
    }

    // The real stand-ins stop real processes named like the product's, with
    // the server's child, and leave a similarly named process alone.
    void withStandIns()
    {
        QVERIFY(QFileInfo(QCoreApplication::applicationDirPath() + "/taskkill").isExecutable());
        QTemporaryDir root;
        const QString app = root.path() + "/Prod";
        const QString decoyPath = root.path() + "/other/KarvoDeskServer.exe.old"; // same 15-character kernel name
        installFixture(app + "/" + kMain);
        installFixture(app + "/KarvoDeskServer/" + kDaemon);
        installFixture(app + "/" + kServer);
        installFixture(decoyPath);

        QProcess mainProc, daemon, server, decoy;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("FARWEN_FIXTURE_CHILD", "1");
        server.setProcessEnvironment(env);
        mainProc.start(app + "/" + kMain, QStringList());
        daemon.start(app + "/KarvoDeskServer/" + kDaemon, {"run"});
        server.start(app + "/" + kServer, QStringList());
        decoy.start(decoyPath, QStringList());
        for (QProcess *p : {&mainProc, &daemon, &server, &decoy})
            QVERIFY(p->waitForStarted());
        QTest::qWait(200);
        const QString childPid = [&]() {
            QProcess pgrep;
            pgrep.start("pgrep", {"-P", QString::number(server.processId())});
            pgrep.waitForFinished();
            return QString::fromLatin1(pgrep.readAllStandardOutput()).trimmed();
        }();
        QVERIFY(!childPid.isEmpty());

        TestableEngine engine;
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/" + kMain, "2.0", "http://x/p.zip");
        QVERIFY(engine.closeProcesses());

        for (QProcess *p : {&mainProc, &daemon, &server})
            QTRY_COMPARE(p->state(), QProcess::NotRunning);
        QVERIFY(!QFileInfo::exists("/proc/" + childPid + "/exe") || QFile::symLinkTarget("/proc/" + childPid + "/exe").isEmpty());
        QCOMPARE(decoy.state(), QProcess::Running);
        decoy.kill();
        decoy.waitForFinished();
        QDir(engine.tempDir).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestProcessShutdown)
#include "test_process_shutdown.moc"
