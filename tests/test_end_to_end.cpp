// The real binary at the real timings on a running sandbox product: power cuts
// at every step of four paths, whole updates, and a race at every call.
#include "support/product_sandbox.h"
#include "support/tree_snapshot.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

// A Windows program's output under Wine.
QString windows(const ProductSandbox &box, const QString &program, const QStringList &args)
{
    QString out;
    runToEnd(program, args, box.path(), box.environment(), &out);
    return out.trimmed();
}
const QStringList kRunOnce{"query", "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce"};

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    // The attacker's race at every call in turn: each place another user can
    // change becomes a link to a folder of root's right before the updater's
    // n-th call on it. The victim stays as it was, and every run updates or
    // leaves the installation as it found it.
    void raceEveryCall_data()
    {
        QTest::addColumn<QString>("place"); // the attacker's, below the run's folder
        QTest::addColumn<bool>("updates");   // when nothing is swapped
        QTest::newRow("the -i folder") << "user" << true;
        QTest::newRow("the companion") << "user/upd" << true;
        QTest::newRow("the data root's parent") << "shared" << false;
        QTest::newRow("the installation's parent") << "inst" << false;
        QTest::newRow("the private folder, planted") << "shared/programdata/FarwenUpdater" << true; // in a data root open to all, sticky
    }
    void raceEveryCall()
    {
        QFETCH(QString, place);
        QFETCH(bool, updates);
        int n = 1;
        for (bool swapped = true; swapped; ++n) {
            QTemporaryDir dir;
            const QString victim = dir.path() + "/victim", info = dir.path() + "/user/upd.json";
            QMap<QString, QByteArray> precious{{"f", "keep"}, {"upd.json", "keep"}, {"updater.lock", "keep"}};
            for (auto f = precious.cbegin(); f != precious.cend(); ++f)
                writeTreeFile(victim + "/" + f.key(), f.value());
            ProductSandbox box(false, (QDir().mkpath(dir.path() + "/inst"), dir.path() + "/inst/app"));
            const auto original = snapshotTree(box.app());
            box.prepareUpdate();
            writeTreeFile(dir.path() + "/user/upd/notes.txt", "the companion");
            QVERIFY(QDir().rename(box.infoFile(), info) && QDir().mkpath(dir.path() + "/shared/programdata"));
            // The place is the attacker's, not what is in it; the private folder is planted at the call.
            QCOMPARE(QProcess::execute("sh", {"-c", "cd " + dir.path() + " && chown -R 65534 user && chown 65534 "
                                                    + (place.contains("Farwen") ? "user" : place) + " && chmod 1777 shared/programdata"}), 0);
            QProcessEnvironment env = box.environment();
            for (const QStringList &v : QList<QStringList>{{"PROGRAMDATA", dir.path() + "/shared/programdata"}, {"PKEXEC_UID", "65534"}, {"LD_PRELOAD", FARWEN_SWAP_SHIM},
                                                           {"FARWEN_SWAP_DIR", dir.path() + "/" + place}, {"FARWEN_SWAP_TO", victim}, {"FARWEN_SWAP_AT", QString::number(n)}})
                env.insert(v[0], v[1]);
            QProcess updater; // the package is served by this process's event loop
            updater.setProcessEnvironment(env);
            updater.setProcessChannelMode(QProcess::MergedChannels);
            updater.start(updaterBinary(), {"-i", info, "-m", "manual"});
            QElapsedTimer run;
            run.start(); // updated and past the companion's removal (2 s): the restart's waits are not raced
            QTRY_VERIFY_WITH_TIMEOUT(updater.state() == QProcess::NotRunning
                                         || (run.elapsed() > 5000 && snapshotTree(box.app()).value("version.txt") == "2.0.0"), 30000);
            updater.kill();
            const int code = updater.waitForFinished(5000) && updater.exitStatus() == QProcess::CrashExit ? 0 : updater.exitCode();
            const QString err = QString::fromUtf8(updater.readAll());
            swapped = QFileInfo::exists(victim + ".swapped");
            QVERIFY2(snapshotTree(victim) == precious && QDir(victim).count() == 5, qPrintable(QString("call %1: %2").arg(n).arg(err)));
            QVERIFY2(code == 0 ? snapshotTree(box.app()).value("version.txt") == "2.0.0" : code == 1 && snapshotTree(box.app()) == original, qPrintable(QString("call %1, exit %2: %3").arg(n).arg(code).arg(err)));
            QVERIFY2(swapped || code == (updates ? 0 : 1), qPrintable(err)); // untouched, the run does as it should
        }
        QVERIFY(n > 2 || !updates); // attacked at least once where it is used
    }

    // The power-cut explorer on four paths: every file-system change of a real
    // run is traced, and at each cut the states a disk may hold are made, as
    // tests/power_cuts.py says, and each is recovered. FARWEN_CUTS_ALL: all of them.
    void powerCuts_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *path : {"full", "full, where syncfs fails", "failing", "failing, where syncfs fails", "delta", "killed apply's recovery"})
            QTest::newRow(path) << path;
    }
    void powerCuts()
    {
        QFETCH(QString, path);
        ProductSandbox box(false);
        const QString initial = box.path() + "/initial", trace = box.path() + "/trace", pending = box.mainProgram() + ".farwen-new";
        const auto copy = [](const QString &from, const QString &to) { return QProcess::execute("cp", {"-a", from, to}) == 0; };
        const bool killed = path.startsWith("killed"), failing = path.startsWith("failing");
        // Failing: the updater runs from the installation, and the package brings a new one.
        const QString bin = QFileInfo(updaterBinary()).absolutePath(), updaterRun = failing ? box.app() + "/FarwenUpdater" : updaterBinary();
        for (const QString program : {"FarwenUpdater", "taskkill", "tasklist"})
            QVERIFY(!failing || QFile::copy(bin + "/" + program, box.app() + "/" + program));
        box.prepareUpdate(killed ? 16 : 0, failing ? readTreeFile(updaterBinary()) + "new" : QByteArray());
        const QString config = box.app() + "/config.ini"; // the customer's, read-only
        QVERIFY(QFile::setPermissions(config, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        const QString list = box.app() + "/farwen-files.json"; // failing: the old file list, immutable, is the last to go
        const auto unlock = qScopeGuard([&]() { QProcess::execute("chattr", {"-i", list}); });
        if (failing)
            QVERIFY((writeTreeFile(list, R"({"files": [{"path": "Pellamo.exe"}]})"), QProcess::execute("chattr", {"+i", list}) == 0));
        if (path == "delta") {
            QVERIFY(copy(box.app(), box.path() + "/over") && copy(box.path() + "/package/.", box.path() + "/over/")); // the package over the installation
            QVERIFY(QProcess::execute(QFileInfo(updaterBinary()).absolutePath() + "/farwen-pack", {"delta", box.app(), box.path() + "/over", "-o", box.path() + "/d.zip"}) == 0);
            const QByteArray zip = snapshotTree(box.path()).value("d.zip"), info = snapshotTree(box.path()).value("Pellamo.json");
            box.server.route("/update.zip", HttpRoute(200, zip));
            writeTreeFile(box.infoFile(), QByteArray(info).replace(info.indexOf("\"sha256\": \"") + 11, 64, QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex()));
        }
        QVERIFY(copy(box.app(), initial) && QDir().mkpath(trace));
        QProcessEnvironment env = box.environment();
        env.insert("LD_PRELOAD", FARWEN_SWAP_SHIM), env.insert("FARWEN_TRACE_ROOT", box.app()), env.insert("FARWEN_TRACE", trace);
        env.insert("FARWEN_SYNCFS_FAILS", path.contains("syncfs") ? "1" : ""); // each file flushed on its own then
        QProcessEnvironment stopped = box.environment(); // killed: the apply it stops is not explored, its recovery is
        stopped.insert("LD_PRELOAD", FARWEN_SWAP_SHIM), stopped.insert("FARWEN_STOP_AT", pending);
        QProcess updater;
        updater.setProcessEnvironment(killed ? stopped : env);
        updater.setProcessChannelMode(QProcess::MergedChannels);
        updater.start(updaterRun, {"-i", box.infoFile(), "-m", "manual"});
        QByteArray log; // a failed run's window waits for its close: its record is enough
        const bool over = QTest::qWaitFor([&]() {
            log += updater.readAll();
            return updater.state() == QProcess::NotRunning || (killed ? log.contains("=== 开始关闭相关进程 ===")
                   : snapshotTree(box.dataRoot() + "/FarwenUpdater").value("last-result.json").contains(R"("reason": "restored")"));
        }, 60000);
        QElapsedTimer waited; // killed while the main program is written (stopped there): the download is over
        for (waited.start(); killed && !QFileInfo::exists(pending) && waited.elapsed() < 20000;)
            QThread::usleep(1000);
        updater.kill();
        QVERIFY(updater.waitForFinished(5000) || updater.state() == QProcess::NotRunning);
        QVERIFY2(over && (killed ? QFileInfo::exists(pending) : failing || updater.exitCode() == 0) && !log.contains("无法写入磁盘"), log.right(2000).constData());
        if (killed) { // a run that never ended says so, with what it was installing
            const QJsonObject left = QJsonDocument::fromJson(snapshotTree(box.dataRoot() + "/FarwenUpdater").value("last-result.json")).object();
            QCOMPARE(left.value("outcome").toString() + " " + left.value("to_version").toString(), QString("incomplete 2.0.0"));
            QVERIFY(QDir().rename(initial, box.path() + "/original") && copy(box.app(), initial));
            QCOMPARE(runToEnd(updaterBinary(), {"--recover", box.mainProgram()}, box.path(), env), 0);
        }
        QCOMPARE(int(QFileInfo(config).permissions() & 0x7077), 0x4044);
        // Failing: the running updater went aside and its copy came back.
        const QStringList asides = QDir(box.app()).entryList({"FarwenUpdater.old-*"}, QDir::Files);
        QVERIFY(!failing || (asides.size() == 1 && snapshotTree(box.app()).value(asides.value(0)) == snapshotTree(initial).value("FarwenUpdater")
                             && snapshotTree(box.app()).value("FarwenUpdater") == snapshotTree(initial).value("FarwenUpdater")));
        // What a run may end in: the old tree, or for a run that updates, the new one.
        QStringList ends{killed ? box.path() + "/original" : initial};
        if (path.startsWith("full") || path == "delta")
            QVERIFY(copy(box.app(), (ends << box.path() + "/new").last()));
        QCOMPARE(QProcess::execute("python3", QStringList{QFINDTESTDATA("power_cuts.py"), updaterBinary(), box.app(), initial, trace, qEnvironmentVariableIsSet("FARWEN_CUTS_ALL") || path.contains("syncfs") ? "0" : "40"} + ends), 0);
    }

    void successfulUpdate()
    {
        ProductSandbox box;
        box.startProduct();
        const QString logs = box.dataRoot() + "/FarwenUpdater/logs";
        const auto lastResult = [&]() { return QJsonDocument::fromJson(snapshotTree(box.dataRoot() + "/FarwenUpdater").value("last-result.json")).object(); };

        // The signed copy runs from the installation, and the package brings a new one.
        const QString signedBin = box.app();
        const QByteArray oldUpdater = readTreeFile(updaterBinary());
        box.prepareUpdate(0, oldUpdater + "a new updater");
        // A package that is not the one named: refused, and the run's record says why.
        const QByteArray info = snapshotTree(box.path()).value("Pellamo.json");
        writeTreeFile(box.infoFile(), QByteArray(info).replace(info.indexOf("\"sha256\": \"") + 11, 64, QByteArray(64, 'f')));
        // Earlier runs' logs: 10 MiB in all is the bound, the newest kept first.
        writeTreeFile(logs + "/update-2001.log", "newer"), writeTreeFile(logs + "/update-1999.log", QByteArray(10 << 20, 'o'));
        for (const QString &own : {box.dataRoot() + "/FarwenUpdater", logs}) // the updater's own, or moved aside
            QVERIFY(QFile::setPermissions(own, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QProcess refused;
        refused.setProcessEnvironment(box.environment());
        refused.start(updaterBinary(), {"-i", box.infoFile(), "-m", "manual"});
        QTRY_COMPARE_WITH_TIMEOUT(lastResult().value("reason").toString(), QStringLiteral("integrity"), 20000);
        refused.terminate();
        QVERIFY(refused.waitForFinished(10000));
        QVERIFY(QDir(box.dataRoot()).entryList({"KarvoUpdate_*"}, QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty()); // closed: its work folder gone
        QVERIFY2(lastResult().value("detail").toString().contains("SHA-256 不匹配") && lastResult().value("detail").toString().contains(QString(64, 'f')),
                 qPrintable(lastResult().value("detail").toString()));
        const QByteArray refusedLog = snapshotTree(logs).value(QFileInfo(lastResult().value("log").toString()).fileName());
        QVERIFY(refusedLog.contains("应为: \"" + QByteArray(64, 'f')) && !refusedLog.contains("cannot be opened")); // nobody asked: nothing to grant
        QCOMPARE(QDir(logs).entryList({"update-*.log"}), QStringList({"update-2001.log", QFileInfo(lastResult().value("log").toString()).fileName()}));
        for (int i = 0; i < 25; ++i) // runs of long ago: the last 20 are kept
            writeTreeFile(logs + QString("/update-2000%1.log").arg(i, 4, 10, QChar('0')), "old");
        writeTreeFile(box.infoFile(), info);
        // This run is signed: the publisher's key beside the updater, the signature beside the package.
        for (const QString program : {"FarwenUpdater", "taskkill", "tasklist"})
            QVERIFY(QFile::copy(QFileInfo(updaterBinary()).absolutePath() + "/" + program, signedBin + "/" + program));
        QCOMPARE(QProcess::execute("minisign", {"-G", "-W", "-p", signedBin + "/update-keys.pub", "-s", box.path() + "/k.key"}), 0);
        QCOMPARE(QProcess::execute("minisign", {"-S", "-s", box.path() + "/k.key", "-m", box.path() + "/update.zip", "-t", "version=2.0.0"}), 0);
        box.server.route("/update.zip.minisig", HttpRoute(200, snapshotTree(box.path()).value("update.zip.minisig")));
        // The publisher's check, as the updater checks: the signed version, and no downgrade.
        for (const QStringList &row : {QStringList{"2.0.0", "1.0.0", "0"}, {"2.0.1", "1.0.0", "1"}, {"2.0.0", "2.0.0", "0"}, {"2.0.0", "2.1.0", "1"}})
            QCOMPARE(QProcess::execute(QFileInfo(updaterBinary()).absolutePath() + "/farwen-pack", {"verify", box.path() + "/update.zip", "--keys", signedBin + "/update-keys.pub",
                                                                                                  "--version", row[0], "--installed-version", row[1]}), row[2].toInt());
        QCOMPARE(QProcess::execute(QFileInfo(updaterBinary()).absolutePath() + "/farwen-pack", {"verify", box.path() + "/update.zip", "--installed-version", "2.1.0"}), 2); // no signed version without keys
        // Named first: a signed delta made against another version. The full package follows,
        // checked against its own SHA-256 and its own .minisig, never the delta's.
        const QString d = box.path() + "/d";
        writeTreeFile(d + "/old/Pellamo.exe", "another version");
        QByteArray next(4000, '\0'); // no smaller than a package can be
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(next.data()), next.size() / 4);
        writeTreeFile(d + "/new/Pellamo.exe", next);
        QCOMPARE(QProcess::execute(QFileInfo(updaterBinary()).absolutePath() + "/farwen-pack", {"delta", d + "/old", d + "/new", "-o", d + "/delta.zip"}), 0);
        QCOMPARE(QProcess::execute("minisign", {"-S", "-s", box.path() + "/k.key", "-m", d + "/delta.zip", "-t", "version=2.0.0"}), 0);
        const auto deltaFiles = snapshotTree(d);
        box.server.route("/delta.zip", HttpRoute(200, deltaFiles.value("delta.zip")));
        box.server.route("/delta.zip.minisig", HttpRoute(200, deltaFiles.value("delta.zip.minisig")));
        const auto sha = [](const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex(); };
        const QByteArray fullSha = sha(snapshotTree(box.path()).value("update.zip"));
        writeTreeFile(box.infoFile(), QByteArray(info).replace("/update.zip", "/delta.zip").replace(fullSha, sha(deltaFiles.value("delta.zip")))
                                          .replace("\"memo\"", "\"full_download_url\": \"" + box.server.url("/update.zip").toUtf8() + "\", \"full_sha256\": \"" + fullSha + "\", "
                                                   "\"signature\": " + QJsonDocument(QJsonArray{QString(deltaFiles.value("delta.zip.minisig"))}).toJson(QJsonDocument::Compact).mid(1).chopped(1) + ", \"memo\""));
        const QVector<ProductCall> before = box.calls();
        const QStringList cached = QDir(box.dataRoot() + "/FarwenUpdater/cache").entryList(QDir::Files);
        QFile expired(box.dataRoot() + "/FarwenUpdater/cache/expired.part"); // more than a week old: gone at start
        QVERIFY(expired.open(QIODevice::WriteOnly) && expired.setFileTime(QDateTime::currentDateTime().addDays(-8), QFileDevice::FileModificationTime));
        expired.close();
        const auto userData = snapshotTree(box.app() + "/data");
        QProcessEnvironment env = box.environment();
        env.insert("FARWEN_FIXTURE_INSTALL_SECONDS", "3");
        env.insert("PKEXEC_UID", "65534"); // the user who asked, through pkexec
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.start("sh", {"-c", "umask 000; exec \"$0\" \"$@\"", signedBin + "/FarwenUpdater", "-i", box.infoFile(), "-m", "manual"});
        QVERIFY(updater.waitForStarted());
        QTest::qWait(500);
        writeTreeFile(box.path() + "/second.json", "{}");
        QProcess second; // says so where the person sees it, until closed
        second.setProcessEnvironment(env);
        second.start(updaterBinary(), {"-i", box.path() + "/second.json"});
        QByteArray secondLog;
        QTRY_VERIFY_WITH_TIMEOUT((secondLog += second.readAllStandardError()).contains("已有更新程序在运行"), 10000);
        QTest::qWait(300);
        QCOMPARE(second.state(), QProcess::Running);
        ::kill(pid_t(second.processId()), SIGTERM);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY(QFile::exists(box.path() + "/second.json")); // turned away before touching anything
        // Keep this event loop turning: the package server lives in it.
        QTRY_COMPARE_WITH_TIMEOUT(updater.state(), QProcess::NotRunning, 60000);
        QCOMPARE((QList<int>{updater.exitStatus(), updater.exitCode()}), (QList<int>{QProcess::NormalExit, 0}));
        // The delta's signature given in the info file: never the full package's.
        QCOMPARE((QList<int>{box.server.requestCount("/update.zip.minisig"), box.server.requestCount("/delta.zip.minisig")}), (QList<int>{1, 0}));
        // The work directories and their packages are gone; the cache holds the refused run's alone.
        QVERIFY(QDir(box.dataRoot()).entryList({"KarvoUpdate_*"}, QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        QCOMPARE(QDir(box.dataRoot() + "/FarwenUpdater/cache").entryList(QDir::Files), cached);

        const auto tree = snapshotTree(box.app());
        QCOMPARE((QList<QByteArray>{tree.value("version.txt"), tree.value("KarvoDeskServer/version.txt"), tree.value("plugins/newfeature.dll")}),
                 (QList<QByteArray>{"2.0.0", "2.0.0", QByteArray(50000, 'n')}));
        QCOMPARE(snapshotTree(box.app() + "/data"), userData);
        // The running updater went aside whole; the next start removes it.
        const QStringList asides = QDir(box.app()).entryList({"FarwenUpdater.old-*"}, QDir::Files);
        QVERIFY2(tree.value("FarwenUpdater") == oldUpdater + "a new updater" && asides.size() == 1 && tree.value(asides.value(0)) == oldUpdater, qPrintable(asides.join(' ')));
        for (const QString name : {"notes.old-Ver_2026", ".old-abcd2026"}) // not names a commit gives
            writeTreeFile(box.app() + "/" + name, "the customer's");
        QCOMPARE(runToEnd(signedBin + "/FarwenUpdater", {"--recover", box.mainProgram()}, box.path(), box.environment()), 0);
        QVERIFY(QDir(box.app()).entryList({"FarwenUpdater.old-*"}, QDir::Files).isEmpty() && QFileInfo::exists(box.app() + "/FarwenUpdater")
                && QFileInfo::exists(box.app() + "/notes.old-Ver_2026") && QFileInfo::exists(box.app() + "/.old-abcd2026"));
        QCOMPARE(int(QFileInfo(box.app() + "/plugins").permissions() & 0x0022), 0); // started with umask 000
        // The info file and the backup gone.
        QVERIFY(!QFileInfo::exists(box.infoFile()) && QDir(box.app()).entryList({"_update_backup_*"}, QDir::Dirs).isEmpty());

        QCOMPARE(QSettings(box.app() + "/config.ini", QSettings::IniFormat).value("App/Version").toString(), QStringLiteral("2.0.0"));
        QCOMPARE(QStringList({lastResult().value("outcome").toString(), lastResult().value("to_version").toString()}), QStringList({"success", "2.0.0"}));
        const QByteArray runLog = snapshotTree(logs).value(QFileInfo(lastResult().value("log").toString()).fileName());
        QVERIFY(runLog.contains("签名: 公钥") && !runLog.contains("cannot be opened") && !runLog.contains("cannot be written")); // opened to the user who asked, the record written
        QCOMPARE(QDir(logs).entryList({"update-*.log"}).size(), 20);
        QString acls; // the user who asked reads the record and passes to it; nobody else does
        QCOMPARE(runToEnd("getfacl", {"-n", "-p", box.dataRoot() + "/FarwenUpdater", logs, lastResult().value("log").toString(),
                                      box.dataRoot() + "/FarwenUpdater/last-result.json"}, box.path(), box.environment(), &acls), 0);
        QVERIFY2(acls.count("user:65534:--x") == 2 && acls.count("user:65534:r--") == 2 && !acls.contains("other::r"), qPrintable(acls));

        for (const ProductCall &old : before)
            QVERIFY2(!box.isAlive(old.pid), qPrintable(old.program)); // all three were stopped
        const QString serverDir = box.app() + "/KarvoDeskServer";
        const auto stop = box.calls("KarvoDeskDaemon.exe", "stop");
        const auto install = box.calls("KarvoDeskDaemon.exe", "install");
        const auto run = box.calls("KarvoDeskDaemon.exe", "run");
        const auto main = box.calls("Pellamo.exe", "");
        // Stopped, installed once, run by the product and again, the main program started again.
        QCOMPARE((QList<qint64>{stop.size(), install.size(), run.size(), main.size()}), (QList<qint64>{1, 1, 2, 2}));
        QCOMPARE((QStringList{install.first().cwd, run.last().cwd, main.last().cwd, main.last().version}), (QStringList{serverDir, serverDir, box.app(), "2.0.0"}));
        QCOMPARE((QList<qint64>{main.last().uid, run.last().uid}), (QList<qint64>{65534, 0})); // the service with the updater's rights, the main program without
        QVERIFY(box.isAlive(main.last().pid));
        const QFileInfoList fds = QDir(QStringLiteral("/proc/%1/fd").arg(main.last().pid)).entryInfoList(QDir::AllEntries | QDir::System);
        QVERIFY(!fds.isEmpty());
        for (const QFileInfo &fd : fds) // the updater's lock is not handed on
            QVERIFY(!fd.symLinkTarget().endsWith("updater.lock"));
        QVERIFY(box.isAlive(run.last().pid));
        // Installing, then the 5 s countdown; "install" takes 3 s, "run" 1 s
        // after it, the main program 2 s after that.
        QVERIFY(install.first().time >= stop.first().time + 5000);
        const qint64 toRun = run.last().time - install.first().time, toMain = main.last().time - run.last().time;
        QVERIFY2(toRun >= 3900 && toRun < 5000, qPrintable(QString::number(toRun)));
        QVERIFY2(toMain >= 1900 && toMain < 3000, qPrintable(QString::number(toMain)));
    }

    // The shipped zip installed as a vendor installs it, under Program Files of a fresh prefix
    // (the updater's working directory is the installation): a signed full update that drops
    // and adds files, refused once by a held file and killed once while unpacking, then a delta.
    void shippedZip()
    {
        if (!underWine())
            QSKIP("needs a Windows build: configure with -DFARWEN_WIN_BUILD=<it>, as scripts/test.sh does");
        QTemporaryDir prefix;
        qputenv("WINEPREFIX", prefix.path().toUtf8());
        qputenv("WINEDLLOVERRIDES", "tasklist.exe=n;mscoree,mshtml="); // no installer dialogs in a new prefix
        const QString app = prefix.path() + "/drive_c/Program Files/Pellamo", record = prefix.path() + "/drive_c/ProgramData/FarwenUpdater/last-result.json";
        QCOMPARE(QProcess::execute("/usr/lib/wine/wine64", {"wineboot", "-i"}), 0);
        QVERIFY(QDir().mkpath(app) && QProcess::execute("cp", {qEnvironmentVariable("FARWEN_WIN_BUILD") + "/bin/tasklist.exe", prefix.path() + "/drive_c/windows/system32/"}) == 0 && QProcess::execute("bsdtar", {"-xf", qEnvironmentVariable("FARWEN_DIST"), "-C", app}) == 0);
        ProductSandbox box(true, app);
        writeTreeFile(app + "/data/old.dat", "dropped by 2.0.0");
        writeTreeFile(app + "/farwen-files.json", R"({"files": [{"path": "Pellamo.exe"}, {"path": "data/old.dat"}]})");
        QCOMPARE(QProcess::execute("minisign", {"-G", "-W", "-p", app + "/update-keys.pub", "-s", box.path() + "/k.key"}), 0);
        const QString fixture = box.path() + "/fixture.exe", pack = QCoreApplication::applicationDirPath() + "/farwen-pack";
        QVERIFY(QFile::copy(app + "/Pellamo.exe", fixture));
        const auto sha = [](const QByteArray &b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex(); };
        QByteArray info; // each run takes the file away
        const auto prepare = [&](int paddingMiB, const QByteArray &updater = {}) { box.prepareUpdate(paddingMiB, updater); info = readTreeFile(box.infoFile()); };
        const auto serve = [&](const QStringList &packArgs, const QByteArray &version) { // signed, and named in the info file
            const QString zip = box.path() + "/out.zip";
            QVERIFY(QProcess::execute(pack, packArgs + QStringList{"-o", zip}) == 0 && QProcess::execute("minisign", {"-S", "-s", box.path() + "/k.key", "-m", zip, "-t", "version=" + version}) == 0);
            box.server.route("/update.zip", HttpRoute(200, readTreeFile(zip)));
            box.server.route("/update.zip.minisig", HttpRoute(200, readTreeFile(zip + ".minisig")));
            writeTreeFile(box.infoFile(), QByteArray(info).replace(sha(readTreeFile(box.path() + "/update.zip")), sha(readTreeFile(zip))).replace("2.0.0", version));
        };
        const auto update = [&](QProcess &updater) {
            updater.setProcessEnvironment(box.environment());
            updater.setProcessChannelMode(QProcess::MergedChannels);
            startProgram(updater, nativePath(app + "/FarwenUpdater.exe"), {"-i", nativePath(box.infoFile()), "-m", "manual"});
        };
        const auto hold = [&](const QString &path, const QStringList &how) {
            QVERIFY(QProcess::startDetached("/usr/lib/wine/wine64", QStringList{fixture, "hold", nativePath(path)} + how));
            QTRY_VERIFY2_WITH_TIMEOUT(QFile::exists(path + ".held"), "the file was never held", 60000);
            QVERIFY(readTreeFile(path + ".held").startsWith("held") && QFile::remove(path + ".held"));
        };
        // The running updater held as Windows' loader holds it: a plain replace fails, a rename aside does not.
        const QByteArray oldUpdater = readTreeFile(app + "/FarwenUpdater.exe"), newUpdater = oldUpdater + "a new updater";
        const auto asides = [&] { return QDir(app).entryList({"FarwenUpdater.exe.old-*"}, QDir::Files); };
        box.startProduct();

        // The file that 2.0.0 drops held without sharing deletion: every file was replaced, the
        // running updater too, and all come back.
        hold(app + "/data/old.dat", {});
        hold(app + "/FarwenUpdater.exe", {"loader"});
        const auto original = snapshotTree(app);
        prepare(0, newUpdater);
        serve({"full", box.path() + "/package"}, "2.0.0");
        QProcess refused;
        update(refused);
        QByteArray log; // the package is served from this event loop
        QTRY_VERIFY2_WITH_TIMEOUT((log += refused.readAll()).contains("恢复完成"), log.constData(), 90000);
        QTRY_COMPARE_WITH_TIMEOUT(QJsonDocument::fromJson(readTreeFile(record)).object().value("message").toString(), QStringLiteral("安装文件失败，已恢复原版本"), 20000);
        windows(box, "taskkill", {"/IM", "FarwenUpdater.exe"}); // closed as a person closes the window
        QTRY_VERIFY2_WITH_TIMEOUT(refused.state() == QProcess::NotRunning, "the window did not close", 30000);
        windows(box, "taskkill", {"/F", "/IM", "fixture.exe"}), log += refused.readAll();
        for (const char *line : {"Windows CreateFileW \"C:\\Program Files\\Pellamo\\data\\old.dat\": 错误 ", "原因: \"无法删除文件: data/old.dat\"",
                                 "恢复文件成功: \"Pellamo.exe\"", "恢复文件成功: \"version.txt\"", "恢复文件成功: \"KarvoDeskServer/version.txt\"",
                                 "恢复文件成功: \"FarwenUpdater.exe\""})
            QVERIFY2(log.contains(line), log.constData());
        auto restored = snapshotTree(app); // the old updater back, and beside it the one renamed aside
        QVERIFY2(asides().size() == 1 && restored.take(asides().value(0)) == oldUpdater, qPrintable(asides().join(' ')));
        QCOMPARE(restored, original);
        QVERIFY(!windows(box, "reg", kRunOnce).contains("--recover"));

        // Killed while the main program is written: the boot's own command puts back every byte.
        prepare(48);
        serve({"full", box.path() + "/package"}, "2.0.0");
        QProcess killed;
        update(killed);
        QTRY_VERIFY_WITH_TIMEOUT((log += killed.readAll()).count("=== 开始关闭相关进程 ===") == 2, 60000); // the second run's
        QElapsedTimer waited; // the download is over: no event loop needed
        for (waited.start(); !QFileInfo::exists(app + "/Pellamo.exe.farwen-new") && waited.elapsed() < 30000;)
            QThread::usleep(100);
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY2(killed.waitForFinished(5000) && QFileInfo::exists(app + "/Pellamo.exe.farwen-new"), "killed while the main program was written");
        const QStringList boot = windows(box, fixture, {"runonce"}).split(QRegularExpression("[\r\n]+"));
        QCOMPARE(boot, (QStringList{nativePath(app + "/FarwenUpdater.exe"), "--recover", nativePath(box.mainProgram())}));
        QString err;
        QVERIFY2(runToEnd(boot.at(0), boot.mid(1), box.path(), box.environment(), &err) == 0 && err.contains("已从备份恢复中断的更新") && !err.contains("Windows "), qPrintable(err));
        QCOMPARE(snapshotTree(app), original);
        QVERIFY(!windows(box, "reg", kRunOnce).contains("--recover"));

        // Through: data/old.dat goes, plugins/newfeature.dll and a new updater come; then a signed
        // delta to 3.0.0, run by the new updater, whose start removes the old one.
        prepare(0, newUpdater);
        hold(app + "/FarwenUpdater.exe", {"loader"});
        for (const QByteArray version : {"2.0.0", "3.0.0"}) {
            if (version == "3.0.0") {
                QVERIFY2(asides().size() == 1 && readTreeFile(app + "/" + asides().value(0)) == oldUpdater, qPrintable(asides().join(' ')));
                windows(box, "taskkill", {"/F", "/IM", "fixture.exe"});
                QVERIFY(QProcess::execute("cp", {"-a", box.path() + "/package", box.path() + "/old"}) == 0 && QFile::remove(box.path() + "/package/plugins/newfeature.dll"));
                writeTreeFile(box.path() + "/package/version.txt", version);
            }
            serve(version == "2.0.0" ? QStringList{"full", box.path() + "/package"} : QStringList{"delta", box.path() + "/old", box.path() + "/package"}, version);
            QProcess updater;
            update(updater);
            QByteArray updated;
            QTRY_VERIFY2_WITH_TIMEOUT((updated += updater.readAll(), updater.state() == QProcess::NotRunning), updated.right(1500).constData(), 90000);
            QVERIFY2(updater.exitCode() == 0 && updated.contains(version == "2.0.0" ? "删除新版本不再包含的文件: \"data/old.dat\"" : "差分包已重建"), updated.constData());
            const auto tree = snapshotTree(app), package = snapshotTree(box.path() + "/package");
            for (auto f = package.cbegin(); f != package.cend(); ++f)
                QCOMPARE(tree.value(f.key()), f.value());
            QVERIFY(!tree.contains("data/old.dat") && tree.contains("plugins/newfeature.dll") == (version == "2.0.0") && tree.value("data/user-settings.json") == original.value("data/user-settings.json")
                    && tree.value("FarwenUpdater.exe") == newUpdater);
            QCOMPARE(windows(box, fixture, {"ini", nativePath(app + "/config.ini"), "App", "Version"}), QString(version));
            QVERIFY(!windows(box, "reg", kRunOnce).contains("--recover"));
        }
        QVERIFY2(asides().isEmpty(), qPrintable(asides().join(' ')));
        // The service runs again; without a desktop shell the main program is never started elevated.
        QCOMPARE((QList<int>{box.calls("KarvoDeskDaemon.exe", "install").size(), box.calls("Pellamo.exe", "").size()}), (QList<int>{2, 1}));
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "test_end_to_end.moc"
