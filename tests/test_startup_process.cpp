// Start-up through the real binary: exit codes, critical lines and what
// happens to the update-info file.
#include "support/updater_process.h"

#include <QtTest>

namespace {

void writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

QByteArray infoJson(const QString &appPath, const QString &extra = QString())
{
    return QStringLiteral("{\"app_path\": \"%1\", \"new_version\": \"2.0.1\", \"download_url\": \"http://127.0.0.1:1/p.zip\"%2}")
        .arg(appPath, extra)
        .toUtf8();
}

} // namespace

class TestStartupProcess : public QObject
{
    Q_OBJECT

    QTemporaryDir sandbox;
    QString work, data, tmp;

    ProcessResult run(const QStringList &args, const QString &cwd = QString())
    {
        return runProcess(updaterBinary(), args, cwd.isEmpty() ? work : cwd, updaterEnvironment(data, tmp));
    }

private slots:
    void init()
    {
        QVERIFY(sandbox.isValid());
        work = sandbox.path() + "/work";
        data = sandbox.path() + "/data";
        tmp = sandbox.path() + "/tmp";
        for (const QString &d : {work, data, tmp}) {
            QDir(d).removeRecursively();
            QVERIFY(QDir().mkpath(d));
        }
    }

    void failureTable_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("fileRemains");

        const QString missing = QStringLiteral("/nonexistent/dir/Pellamo.exe");
        QTest::newRow("no -i") << QStringList{"-m", "manual"} << infoJson(missing)
                               << "错误：必须通过 -i 参数传递JSON文件" << true;
        QTest::newRow("empty -i value") << QStringList{"-i", ""} << infoJson(missing)
                                        << "无法读取JSON文件: \"\"" << true;
        QTest::newRow("unreadable file") << QStringList{"-i", "other.json"} << infoJson(missing)
                                         << "无法读取JSON文件: \"other.json\"" << true;
        QTest::newRow("json array") << QStringList{"-i", "info.json"} << QByteArray("[1, 2]")
                                    << "JSON格式不正确" << false;
        QTest::newRow("empty file") << QStringList{"-i", "info.json"} << QByteArray()
                                    << "JSON格式不正确" << false;
        QTest::newRow("broken json") << QStringList{"-i", "info.json"} << QByteArray("{\"app_path\": ")
                                     << "JSON格式不正确" << false;
        QTest::newRow("version as number")
            << QStringList{"-i", "info.json"}
            << QByteArray("{\"app_path\": \"/bin/sh\", \"new_version\": 2, \"download_url\": \"http://x/p.zip\"}")
            << "参数不完整" << false;
        QTest::newRow("url missing") << QStringList{"-i", "info.json"}
                                     << QByteArray("{\"app_path\": \"/bin/sh\", \"new_version\": \"2\"}")
                                     << "参数不完整" << false;
        QTest::newRow("program missing") << QStringList{"-i", "info.json"} << infoJson(missing)
                                         << "主程序不存在: \"/nonexistent/dir/Pellamo.exe\"" << false;
    }
    void failureTable()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, content);
        QFETCH(QString, line);
        QFETCH(bool, fileRemains);

        writeFile(work + "/info.json", content);
        const ProcessResult r = run(args);
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.stderrLines.contains(line), qPrintable(r.stderrLines.join('\n')));
        QCOMPARE(QFile::exists(work + "/info.json"), fileRemains);
    }

    void helpAndUnknownOption()
    {
        ProcessResult r = run({"--help"});
        QCOMPARE(r.exitCode, 0);
        const QString help = r.stdoutLines.join('\n');
        QVERIFY(help.contains("Farwen 更新程序"));
        QVERIFY(help.contains("-i, --info <info-file>"));
        QVERIFY(help.contains("更新信息JSON文件路径"));
        QVERIFY(help.contains("-m, --mode <mode>"));
        QVERIFY(help.contains("更新模式: auto(自动检查) 或 manual(手动更新)"));
        QVERIFY(!help.contains("--version"));

        r = run({"--bogus"});
        QCOMPARE(r.exitCode, 1);
    }

    // A relative app_path is taken against the updater's own directory, not
    // the directory it was started from; unknown keys are ignored, memo may be
    // absent, and the companion directory (".JSON" in any case) goes away.
    void relativeAppPathAndCompanion()
    {
        const QString bin = sandbox.path() + "/bin";
        QVERIFY(QDir().mkpath(bin + "/prod"));
        QVERIFY(QFile::copy(updaterBinary(), bin + "/FarwenUpdater"));
        QFile(bin + "/FarwenUpdater").setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        writeFile(bin + "/prod/Main.exe", "main");
        QVERIFY(QDir().mkpath(work + "/prod"));
        writeFile(work + "/prod/Only.exe", "decoy");

        writeFile(work + "/Upd.JSON", infoJson("prod/Main.exe", ", \"extra\": {\"k\": [1]}, \"size\": 5"));
        QVERIFY(QDir().mkpath(work + "/Upd/nested"));
        writeFile(work + "/Upd/nested/f.txt", "x");
        writeFile(work + "/keep.txt", "data");
        QVERIFY(QDir().mkpath(work + "/keep"));

        // The run goes on with its window: watch it, then stop it.
        QProcess updater;
        updater.setWorkingDirectory(work);
        updater.setProcessEnvironment(updaterEnvironment(data, tmp));
        updater.start(bin + "/FarwenUpdater", {"-i", "Upd.JSON", "-m", "auto"});
        QVERIFY(updater.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(work + "/Upd"), 5000);
        QByteArray err;
        QTRY_VERIFY((err += updater.readAllStandardError()).split('\n').contains("good"));
        QCOMPARE(updater.state(), QProcess::Running); // past every check: the window is up
        QVERIFY(!QFile::exists(work + "/Upd.JSON"));
        updater.kill();
        updater.waitForFinished();

        // Another ending: the file is its own companion, no directory is removed.
        writeFile(work + "/keep.txt", infoJson("prod/Main.exe"));
        updater.start(bin + "/FarwenUpdater", {"-i", "keep.txt"});
        QVERIFY(updater.waitForStarted());
        QTest::qWait(3500);
        QCOMPARE(updater.state(), QProcess::Running);
        QVERIFY(QFileInfo(work + "/keep").isDir());
        QVERIFY(!QString::fromUtf8(updater.readAllStandardError()).split('\n').contains("good"));
        updater.kill();
        updater.waitForFinished();

        // Present only beside the starting directory: not found.
        writeFile(work + "/info.json", infoJson("prod/Only.exe"));
        const ProcessResult r = runProcess(bin + "/FarwenUpdater", {"-i", "info.json"}, work, updaterEnvironment(data, tmp));
        QCOMPARE(r.exitCode, 1);
        QVERIFY(r.stderrLines.contains("主程序不存在: \"prod/Only.exe\""));
    }

    // Without root the binary asks pkexec to start it again with the very same
    // arguments and leaves the update-info file alone.
    void nonAdministratorRelaunch()
    {
        if (QStandardPaths::findExecutable("setpriv").isEmpty())
            QSKIP("setpriv is needed to drop root");
        QFile::setPermissions(sandbox.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                  | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                  | QFileDevice::WriteOther | QFileDevice::ExeOther);
        const QString stubs = sandbox.path() + "/stubs";
        QVERIFY(QDir().mkpath(stubs));
        const QString record = sandbox.path() + "/pkexec.args";
        writeFile(stubs + "/pkexec", QStringLiteral("#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '%1.tmp'\n"
                                                    "mv '%1.tmp' '%1'\n")
                                         .arg(record)
                                         .toUtf8());
        for (const QString &d : {stubs, work, tmp, sandbox.path()})
            QVERIFY(QFile::setPermissions(d, QFileDevice::Permissions(0x7777)));
        QFile::setPermissions(stubs + "/pkexec", QFileDevice::Permissions(0x7755));

        // A copy the unprivileged user can reach, wherever the build tree lies.
        const QString binary = sandbox.path() + "/FarwenUpdater";
        QVERIFY(QFile::copy(updaterBinary(), binary));
        QVERIFY(QFile::setPermissions(binary, QFileDevice::Permissions(0x7755)));
        const QString infoFile = work + "/my update \"1\".json";
        writeFile(infoFile, infoJson("/bin/sh"));

        QProcessEnvironment env = updaterEnvironment(data, tmp);
        env.insert("PATH", stubs + ":" + env.value("PATH"));
        const ProcessResult r = runProcess("setpriv",
                                           {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                            binary, "-i", infoFile, "-m", "manual"},
                                           work, env);
        QVERIFY(r.finished);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.stderrLines.contains("已请求管理员权限重新运行程序"), qPrintable(r.stderrLines.join('\n')));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 5000);
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList got = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(got, (QStringList{binary, "-i", infoFile, "-m", "manual"}));
        QVERIFY(QFile::exists(infoFile));
    }
};

QTEST_GUILESS_MAIN(TestStartupProcess)
#include "test_startup_process.moc"
