// The pipeline on its worker thread, each outcome from a real condition.
#include "platform/platform.h"
#include "support/http_server.h"
#include "support/product_sandbox.h"
#include "support/testable_engine.h"
#include "support/tool_double.h"
#include "support/tree_snapshot.h"

#include <QRandomGenerator>
#include <QtTest>

namespace {

// The engine's signals as the window receives them (queued to the GUI
// thread), and the engine's state read right at the final signal.
class Recorder : public QObject
{
public:
    explicit Recorder(UpdateEngine &engine)
    {
        connect(&engine, &UpdateEngine::installProgress, this, [this](int p, const QString &m) {
            const QString e = QStringLiteral("%1 %2").arg(p).arg(m);
            if (m.startsWith("Files: ") || m.startsWith("Restoring files ("))
                files << e; // paced: the first and the last always
            else
                record(e);
        });
        connect(&engine, &UpdateEngine::errorOccurred, this, [this](const QString &e) { record("error " + e); });
        connect(&engine, &UpdateEngine::statusChanged, this, [this](const QString &s) { fullUpdate += s == "Downloading the full update..."; });
        connect(&engine, &UpdateEngine::updateFinished, this,
                [this](bool ok, const QString &m) { record(QStringLiteral("finished %1 %2").arg(ok).arg(m)); });
        auto atFinal = [this, &engine]() { runningAtFinal << engine.isRunning.load(); };
        connect(&engine, &UpdateEngine::errorOccurred, this, atFinal, Qt::DirectConnection);
        connect(&engine, &UpdateEngine::updateFinished, this, atFinal, Qt::DirectConnection);
    }
    QStringList events, files;
    int fullUpdate = 0;
    bool offGuiThread = false;
    QList<bool> runningAtFinal; // written by the worker, read once it has ended

private:
    void record(const QString &e)
    {
        offGuiThread |= QThread::currentThread() != qApp->thread();
        events << e;
    }
};

const QStringList kUntilExtraction = QStringList{"70 Closing processes...", "75 Creating backup...",
                                                 "80 Installing files..."} + kExtractingSteps;

} // namespace

class TestInstallDriver : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    QString app;
    QMap<QString, QByteArray> original;

    // A small installation and an engine that has "downloaded" a package with
    // a changed and a new file.
    void prepare(TestableEngine &engine, const QByteArray &bigFile = QByteArray(), bool bigInstalled = false)
    {
        app = root.path() + "/Prod";
        QProcess::execute("umount", {"-q", app});
        QDir(app).removeRecursively();
        if (!bigFile.isEmpty()) // a small volume that the package overfills
            QVERIFY(QDir().mkpath(app) && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=600k", "tmpfs", app}) == 0);
        writeTreeFile(app + "/Pellamo.exe", "main v1");
        writeTreeFile(app + "/.hidden.ini", "hidden v1");
        writeTreeFile(app + "/config.ini", "[App]\nVersion=1.0\n");
        writeTreeFile(app + "/becomes", "a file, a directory in the package");
        for (int i = 0; i < 12; ++i)
            writeTreeFile(app + QStringLiteral("/lib/m%1.dll").arg(i), QByteArray(100 + i, 'm'));
        if (bigInstalled)
            writeTreeFile(app + "/lib/zz-big.dat", bigFile.left(350000));
        original = snapshotTree(app);
        const QString pkg = root.path() + "/pkg";
        QDir(pkg).removeRecursively();
        writeTreeFile(pkg + "/Pellamo.exe", "main v2");
        writeTreeFile(pkg + "/added.dll", "new");
        writeTreeFile(pkg + "/.hidden.ini", "hidden v2");
        writeTreeFile(pkg + "/lib/m3.dll", "m3 v2");
        writeTreeFile(pkg + "/becomes/inner.txt", "now a directory");
        if (!bigFile.isEmpty()) // the update replaces what fills the disk, or adds it
            writeTreeFile(pkg + "/lib/zz-big.dat", bigInstalled ? "small" : bigFile);
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.0", "http://x/p.zip");
        QVERIFY(!posix() || !(QFile::permissions(engine.tempDir) & 0x0077)); // Windows: the platform test holds it
        writeTreeFile(engine.zipPath, zipOf(snapshotTree(pkg)));
        engine.isRunning = true; // as after a successful download
    }

    void run(TestableEngine &engine, Recorder &rec)
    {
        engine.startInstall();
        QTRY_VERIFY_WITH_TIMEOUT(!engine.installing(), 30000);
        QTRY_COMPARE(rec.events.filter(QRegularExpression("^(error|finished) ")).size(), 1);
        QCOMPARE(rec.runningAtFinal, QList<bool>{false});
        QCOMPARE(engine.thread(), qApp->thread());
        QVERIFY(!rec.offGuiThread);
    }

private slots:
    void initTestCase()
    {
        qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8());
    }

    // Every installation's end, from a real condition: what the product's stand-ins
    // answer (taskkill's exit code; tasklist's, and what it prints), shell that tasklist
    // runs once the backup exists and shell run before the update (APP: the installation),
    // and the volume that fills ("unpack": the installation's; "backup": the backup's).
    void outcomes_data()
    {
        QTest::addColumn<int>("killExit");
        QTest::addColumn<int>("listExit");
        QTest::addColumn<QString>("listed");
        QTest::addColumn<QString>("backedUp");
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("fills");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("mainProgram"); // afterwards; "*": whatever the unpack got to
        QTest::addColumn<QString>("lastFiles"); // the last file progress
        QTest::addColumn<QStringList>("kills"); // taskkill's calls
        QTest::addColumn<bool>("backupKept");
        const QString restored = "error 安装文件失败，已恢复原版本", critical = "error 安装失败且无法恢复，需要重新安装";
        const QStringList installed = kUntilExtraction + QStringList{"95 Finalizing...", "100 Finalizing", "finished 1 安装已成功完成"};
        const QStringList notClosed{"70 Closing processes...", "90 Recovery started...", "error 无法关闭正在运行的程序，请手动关闭后重试，已恢复原版本"};
        const QString survivor = "echo '\"pellamo.exe\",\"99\",\"Console\",\"1\",\"10 K\"'";
        const QString files = "80 Files: 5/5 ", restoredAll = "100 Restoring files (5/5)";
        QStringList three; // the daemon and the server with their children, then the main program
        for (const char *name : {"KarvoDeskDaemon.exe|/T", "KarvoDeskServer.exe|/T", "Pellamo.exe"})
            three << QStringLiteral("taskkill|/F|/IM|") + name;
        const QStringList four = three + QStringList{three.last()}; // the main program once more
        // Without an answer from tasklist, all three are stopped once more.
        QTest::newRow("success") << 128 << 0 << "" << "" << "" << "" << installed << "main v2" << files << three << false;
        QTest::newRow("no config.ini") << 128 << 0 << "" << "" << "rm APP/config.ini" << "" << installed << "main v2" << "80 Files: 4/4 " << three << false;
        QTest::newRow("product survives") << 1 << 0 << survivor << "" << "" << "" << notClosed << "main v1" << "" << four << false;
        QTest::newRow("tasklist cannot tell") << 128 << 1 << "" << "" << "" << "" << notClosed << "main v1" << "" << three + three << false;
        QTest::newRow("tasklist hangs") << 128 << 0 << "sleep 30" << "" << "" << "" << notClosed << "main v1" << "" << three + three << false;
        // The file that could not be put back never changed: the restore is complete.
        QTest::newRow("file cannot be replaced") << 128 << 0 << "" << "" << "chattr +i APP/lib/m3.dll" << ""
                                                 << kUntilExtraction + QStringList{"90 Recovery in progress...", restored} << "main v1" << restoredAll << three << false;
        QTest::newRow("disk fills during unpack") << 128 << 0 << "" << "" << "" << "unpack"
                                                  << kUntilExtraction + QStringList{"90 Recovery in progress...", restored} << "main v1" << restoredAll << three << false;
        QTest::newRow("backup fails") << 128 << 0 << "" << "" << "" << "backup"
                                      << QStringList{"70 Closing processes...", "75 Creating backup...", "error 创建备份失败，停止更新"} << "main v1" << "80 Files: 6/6 " << three << true;
        QTest::newRow("unpack fails, restore fails")
            << 128 << 0 << "" << "cd APP && find . -type f ! -path './_update_backup_*' | while read f; do rm \"$f\" && mkdir \"$f\" && touch \"$f/x\" && chattr +i \"$f/x\"; done" << "" << ""
            << kUntilExtraction + QStringList{"90 Recovery in progress...", critical} << "" << "90 Restoring files (0/5)" << three << true;
        // A damaged copy: nothing is put back.
        QTest::newRow("unpack fails, a backup copy damaged") << 128 << 0 << "" << "truncate -s 0 APP/_update_backup_*/lib/m3.dll; mkdir APP/added.dll" << "" << ""
                                                             << kUntilExtraction + QStringList{"90 Recovery in progress...", critical} << "*" << files << three << true;
        // Not put back, and not the backup's bytes though of its size: the backup is the only good copy.
        QTest::newRow("a file not put back, changed at its size")
            << 128 << 0 << "" << "printf X | dd of=APP/lib/m3.dll conv=notrunc status=none; chattr +i APP/lib/m3.dll; mkdir APP/added.dll" << "" << ""
            << kUntilExtraction + QStringList{"90 Recovery in progress...", critical} << "*" << "98 Restoring files (4/5)" << three << true;
        // The commit is on disk before the backup goes: what stays of it goes at the next start.
        QTest::newRow("backup cannot be removed") << 128 << 0 << "" << "chattr +i APP/_update_backup_*/lib/m3.dll" << "" << "" << installed << "main v2" << files << three << true;
        QTest::newRow("main program started again") << 128 << 0 << "" << "echo '\"Pellamo.exe\",\"98\",\"Console\",\"1\",\"1 K\"'" << "" << ""
                                                    << QStringList{"70 Closing processes...", "75 Creating backup...", "80 Installing files...", "90 Recovery in progress...", restored}
                                                    << "main v1" << restoredAll << four << false;
    }
    void outcomes()
    {
        QFETCH(int, killExit);
        QFETCH(int, listExit);
        QFETCH(QString, listed);
        QFETCH(QString, backedUp);
        QFETCH(QString, before);
        QFETCH(QString, fills);
        QFETCH(QStringList, events);
        QFETCH(QString, mainProgram);
        QFETCH(QString, lastFiles);
        QFETCH(QStringList, kills);
        QFETCH(bool, backupKept);
        // The product's processes are the machine's: stand-ins that touch none.
        POSIX_ONLY(!fills.isEmpty() || !before.isEmpty(), "a small volume of its own needs mount, and the shell chattr");
        const QString quotedApp = "'" + root.path() + "/Prod'";
        ToolDoubles tools(root.path() + "/tools-" + QTest::currentDataTag());
        tools.add("taskkill", killExit);
        const QString once = backedUp.isEmpty() ? QString() : "ls APP/_update_backup_*.journal >/dev/null 2>&1 && { " + backedUp + "; }";
        if (!tools.add("tasklist", listExit, QString(listed + (listed.isEmpty() || once.isEmpty() ? "" : "; ") + once).replace("APP", quotedApp)))
            QSKIP("tasklist's answer is a shell snippet");
        QByteArray big;
        for (int i = 0; !fills.isEmpty() && i < 800000; ++i)
            big += char(QRandomGenerator::global()->generate());
        TestableEngine engine;
        prepare(engine, big, fills == "backup");
        if (!before.isEmpty() && QProcess::execute("sh", {"-c", QString(before).replace("APP", quotedApp)}) != 0)
            QSKIP("the shell's set-up failed here (chattr +i?)");
        Recorder rec(engine);
        QElapsedTimer took;
        took.start();
        run(engine, rec);
        if (listed.startsWith("sleep")) // one deadline for all queries, not one for each
            QVERIFY2(took.elapsed() < 2 * TestableEngine::fast().taskListWait, qPrintable(QString::number(took.elapsed())));
        QProcess::execute("chattr", {"-R", "-i", app});
        QCOMPARE(rec.events, events);
        QCOMPARE(rec.files.value(rec.files.size() - 1), lastFiles);
        QCOMPARE(tools.calls().filter("taskkill"), kills);
        const auto tree = snapshotTree(app, "_update_backup_");
        if (mainProgram != "*")
            QCOMPARE(tree.value("Pellamo.exe"), mainProgram.toUtf8());
        if (mainProgram == "main v1") { // untouched or restored byte for byte, and not stamped
            QCOMPARE(tree, original);
            QCOMPARE(tree.value("config.ini"), QByteArray("[App]\nVersion=1.0\n"));
        }
        if (mainProgram == "main v2") {
            // What the update replaces (and config.ini) is backed up, not the whole installation.
            QCOMPARE(rec.files.first(), QString(lastFiles).replace(QRegularExpression("^80 Files: \\d+"), "76 Files: 1"));
            QVERIFY(rec.files.size() <= 3);
            QCOMPARE(tree.value("added.dll"), QByteArray("new"));
            // Where a config.ini is, it records the new version.
            QCOMPARE(QSettings(engine.configPath, QSettings::IniFormat).value("App/Version").toString(), QString(tree.contains("config.ini") ? "2.0" : ""));
        }
        QCOMPARE(QFileInfo::exists(engine.backupDir), backupKept);
        if (mainProgram == "main v2" && backupKept) { // committed: the next start removes what stays
            TestableEngine next;
            QSignalSpy errors(&next, &UpdateEngine::errorOccurred);
            next.setUpdateInfo(app + "/Pellamo.exe", "3.0", "http://127.0.0.1:1/p.zip");
            QVERIFY(errors.isEmpty() && !QFileInfo::exists(engine.backupDir) && !QFileInfo::exists(engine.backupDir + ".journal"));
            QCOMPARE(snapshotTree(app).value("Pellamo.exe"), QByteArray("main v2"));
        }
        // A backup that holds the only good copy survives the window's close, with the package.
        const bool lost = events.contains("error 安装失败且无法恢复，需要重新安装");
        engine.cancel();
        QCOMPARE(QFileInfo::exists(engine.zipPath), lost);
        if (lost)
            QCOMPARE(snapshotTree(engine.backupDir).keys(), (QStringList{".hidden.ini", "Pellamo.exe", "becomes", "config.ini", "lib/m3.dll"}));
        QProcess::execute("umount", {"-q", app});
    }

    // What the new version no longer ships goes, backed up first: put back when the unpack
    // fails, and never the customer's config.ini, though the old list names it.
    void droppedFiles_data()
    {
        QTest::addColumn<bool>("listed"); // the package ships its list
        QTest::addColumn<QString>("immutable"); // a dropped file that cannot go
        QTest::addColumn<QString>("last");
        QTest::newRow("dropped") << true << "" << "finished 1 安装已成功完成";
        QTest::newRow("one cannot go: the other put back") << true << "lib/m1.dll" << "error 安装文件失败，已恢复原版本";
        // Nothing is known to be dropped: only the old list goes, never to be trusted again.
        QTest::newRow("a package with no list") << false << "" << "finished 1 安装已成功完成";
    }
    void droppedFiles()
    {
        QFETCH(bool, listed);
        QFETCH(QString, immutable);
        QFETCH(QString, last);
        POSIX_ONLY(true, "chattr, and lists written by hand");
        ToolDoubles tools(root.path() + "/tools-dropped-" + QTest::currentDataTag());
        tools.add("taskkill", 128);
        tools.add("tasklist", 0);
        TestableEngine staged; // the installation and the package; the lists are found after the download
        prepare(staged);
        staged.cancel();
        writeTreeFile(app + "/farwen-files.json", R"({"files": [{"path": "config.ini"}, {"path": "lib/m0.dll"}, {"path": "lib/m1.dll"}]})");
        const QString pkg = root.path() + "/pkg";
        if (listed)
            writeTreeFile(pkg + "/farwen-files.json", R"({"files": [{"path": "Pellamo.exe"}, {"path": "added.dll"}, {"path": ".hidden.ini"}, )"
                                                      R"({"path": "lib/m3.dll"}, {"path": "becomes/inner.txt"}, {"path": "notes.txt"}]})");
        QByteArray notes(3000, Qt::Uninitialized); // no smaller than a package can be
        QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(notes.data()), notes.size() / 4);
        writeTreeFile(pkg + "/notes.txt", notes);
        HttpServer server;
        server.route("/p.zip", HttpRoute(200, zipOf(snapshotTree(pkg))));
        const auto before = snapshotTree(app);
        QVERIFY(immutable.isEmpty() || QProcess::execute("chattr", {"+i", app + "/" + immutable}) == 0);
        TestableEngine engine;
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.0", server.url("/p.zip"));
        Recorder rec(engine);
        QSignalSpy ready(&engine, &UpdateEngine::readyToInstall);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() || !rec.events.isEmpty(), 10000);
        QVERIFY(ready.count());
        run(engine, rec);
        QProcess::execute("chattr", {"-R", "-i", app});
        QCOMPARE(rec.events.last(), last);
        const auto tree = snapshotTree(app, "_update_backup_");
        if (immutable.isEmpty()) {
            QCOMPARE((QList<bool>{tree.contains("lib/m0.dll"), tree.contains("lib/m1.dll"), tree.contains("lib/m2.dll"), tree.contains("farwen-files.json")}),
                     (QList<bool>{!listed, !listed, true, listed})); // the new list, or none
            QVERIFY(tree.value("config.ini").startsWith("[App]\nVersion=2.0\n")); // kept, and stamped
        } else {
            QCOMPARE(tree, before);
        }
    }

    // Delta packages made by farwen-pack: old + delta = new byte for byte
    // (empty files, a file that becomes a directory and back, a rename,
    // non-ASCII names); an installation that differs takes the full package
    // when one is named, and else is not touched; a failure restores it all.
    void deltaUpdates_data()
    {
        QTest::addColumn<QStringList>("options"); // farwen-pack delta's
        QTest::addColumn<int>("bigBytes"); // lib/big.dll's size
        QTest::addColumn<bool>("huge"); // a file over 64 MiB on both sides
        QTest::addColumn<QString>("edit"); // python over the delta's entries d afterwards (m: its manifest, at M)
        QTest::addColumn<QString>("here"); // shell over the installation before the update (APP, ROOT)
        QTest::addColumn<QString>("backedUp"); // shell once the backup exists
        QTest::addColumn<QString>("full"); // the full package named, and the package whose SHA-256 is named for it
        QTest::addColumn<QString>("fullSha");
        QTest::addColumn<bool>("elsewhere"); // the work folder on another file system
        QTest::addColumn<int>("groups"); // group patches in the delta
        QTest::addColumn<bool>("checked"); // farwen-pack verify --against passes
        QTest::addColumn<bool>("rulesHold"); // the manifest alone passes its rules
        QTest::addColumn<bool>("updated");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("said"); // the publisher's check against the installation, in the updater's words
        const QString done = "finished 1 安装已成功完成", refused = "error 文件完整性校验失败";
        const QString changed = "printf 'changed here' > APP/lib/big.dll", differs = "本地文件与差分包不符: lib/big.dll";
        // Most rows: groups of 64 MiB, lib/big.dll of 300,000 bytes, nothing over 64 MiB.
        const auto row = [](const QString &name) -> QTestData & { return QTest::newRow(qPrintable(name)) << QStringList() << 300000 << false; };
        // A manifest edited after the fact: refused before anything is stopped, by the rules alone or not.
        const auto edited = [&](const QString &name, const QString &edit, bool rulesHold, const QString &said) {
            row(name) << edit << "" << "" << "" << "" << false << 1 << false << rulesHold << false << refused << said;
        };
        // Groups of 1 MiB: the file over 64 MiB sorts first, then lib/big.dll over 1 MiB alone, the three
        // that fit one group (the main program's 7 bytes travel whole), then one whose new side no longer
        // fits: a group's old files read after another patch, and a file patched alone after a group.
        QTest::newRow("applied") << QStringList{"--group-mib", "1"} << (9 << 20) << true << "" << "" << "" << "" << "" << false << 4
                                 << true << true << true << done << "差分包已重建: 10 个文件";
        // Rebuilt on another file system than the installation's: copied into place, not moved.
        row("applied, work folder elsewhere") << "" << "" << "" << "" << "" << true << 1 << true << true << true << done << "差分包已重建: 9 个文件";
        // The delta's SHA-256 proves the delta only; the full package brings its own.
        row("changed here, full package named") << "" << changed << "" << "f.zip" << "f.zip" << false << 1 << false << true << true << done << differs;
        row("changed here, full package not the one named") << "" << changed << "" << "f.zip" << "d.zip" << false << 1 << false << true << false << refused << differs;
        row("changed here, the full package a delta again") << "" << changed << "" << "d.zip" << "d.zip" << false << 1 << false << true << false << refused << differs;
        row("changed here") << "" << changed << "" << "" << "" << false << 1 << false << true << false << refused << differs;
        // To the very same files: never written through.
        row("a folder on the way is a link") << "" << "mv APP/lib ROOT/lib-elsewhere && ln -s ROOT/lib-elsewhere APP/lib" << "" << "" << "" << false << 1
                                             << false << true << false << refused << "差分包路径经过链接: lib/big.dll";
        // Each edit breaks one rule (python: d the delta's entries, m its manifest).
        const QByteArray v2 = QCryptographicHash::hash("main v2", QCryptographicHash::Sha256).toHex();
        const QString main1 = QCryptographicHash::hash("main v1", QCryptographicHash::Sha256).toHex();
        edited("rebuilt bytes fail their hash", "d[M] = m.replace(b'" + QString::fromLatin1(v2) + "', b'0' * 64)", true, "重建的文件校验失败: Pellamo.exe");
        edited("deletes outside", "d[M] = m.replace(b'\"old-name.txt\"', b'\"../victim.txt\"')", false, "差分清单路径不安全: ../victim.txt");
        for (const QString main : {"Pellamo.exe", "./Pellamo.exe"}) // the rule compares the name, however spelt
            edited("deletes the main program as " + main, "j = json.loads(m); j['files'] = [dict(f, path='" + main + "', old_size=7, old_sha256='" + main1 + "') if f['path'] == 'old-name.txt' "
                   "else f for f in j['files'] if f['path'] != 'Pellamo.exe']; d[M] = json.dumps(j).encode()", false,
                   main == "Pellamo.exe" ? "差分包不能删除: Pellamo.exe" : "差分清单路径不安全: ./Pellamo.exe");
        edited("moves from outside", "j = json.loads(m); [f.update({'from': '../victim.txt'}) for f in j['files'] if f.get('from')]; d[M] = json.dumps(j).encode()", false,
               "差分清单路径不安全: ../victim.txt");
        edited("a backslash in a path", "j = json.loads(m); [f.update(path=f['path'].replace('/', chr(92))) for f in j['files']]; d[M] = json.dumps(j).encode()", false, "路径含有反斜杠");
        edited("changes nothing", "d[M] = b'{\"format\": 1, \"files\": []}'", false, "差分包不改变任何文件");
        edited("files not an array", "d[M] = b'{\"format\": 1, \"files\": {}}'", false, "差分清单的files不是数组");
        edited("one name twice", "d[M] = m.replace(b'\"new-name.txt\"', b'\"OLD-NAME.txt\"')", false, "差分清单路径重复: OLD-NAME.txt");
        edited("writes the publisher's keys", "d[M] = m.replace(b'\"new-name.txt\"', b'\"update-keys.pub\"')", false, "差分包不能改写: update-keys.pub");
        edited("names a kind of patch unknown", "d[M] = m.replace(b'\"bsdiff\"', b'\"xdelta\"', 1)", false, "差分清单的补丁类型未知: Pellamo.exe xdelta");
        // bs(records, differences, extra): a bsdiff patch of zstd frames of raw blocks.
        edited("a bsdiff record reads past the old files", "s = sum(f['old_size'] for f in json.loads(m)['files'] if f.get('group') == 1); "
               "d['patches/group-1.bsdiff'] = bs([(0, 0, s - 5), (10, 0, 0)], bytes(10), b'')", true, "补丁无法应用: Pellamo.exe");
        edited("a patch ends before its files", "d['patches/group-1.bsdiff'] = bs([(0, 1, 0)], b'', b'm')", true, "重建的文件校验失败: Pellamo.exe");
        edited("a group larger than the updater holds", "j = json.loads(m); [f for f in j['files'] if f.get('group') == 1][0]['old_size'] = 64 << 20; "
               "d[M] = json.dumps(j).encode()", false, "差分清单条目无效: becomes/inner.txt");
        edited("a bsdiff record seeks before the old files", "d['patches/group-1.bsdiff'] = bs([(0, 0, -(1 << 40)), (10, 0, 0)], bytes(10), b'')", true, "补丁无法应用: Pellamo.exe");
        // A config.ini patch made against another copy than the customer's: left out, the customer's kept.
        row("patches a config.ini not the customer's") << "j = json.loads(m); [(f.pop('whole'), f.update(group=99)) for f in j['files'] if f['path'] == 'config.ini']; "
                                                          "d[M] = json.dumps(j).encode(); d['patches/group-99.zst'] = d.pop('files/config.ini')"
                                                       << "" << "" << "" << "" << false << 1 << true << true << true << done << "配置文件的补丁不适用于本地文件";
        // Each file alone, by zstd only, for updaters before groups: rebuilt, then placing fails.
        QTest::newRow("fails while placed, restored") << QStringList{"--patch", "zstd", "--format", "1"} << 300000 << true << "" << "" << "mkdir APP/new-name.txt" << "" << ""
                                                      << false << 0 << true << true << false << "error 安装文件失败，已恢复原版本" << "差分包已重建: 10 个文件";
    }
    void deltaUpdates()
    {
        QFETCH(QStringList, options);
        QFETCH(int, bigBytes);
        QFETCH(bool, huge);
        QFETCH(QString, edit);
        QFETCH(QString, here);
        QFETCH(QString, backedUp);
        QFETCH(QString, full);
        QFETCH(QString, fullSha);
        QFETCH(bool, elsewhere);
        QFETCH(int, groups);
        QFETCH(bool, checked);
        QFETCH(bool, rulesHold);
        QFETCH(bool, updated);
        QFETCH(QString, last);
        QFETCH(QString, said);
        POSIX_ONLY(true, "cp, bsdtar and python3 make and edit its packages");
        const QString old = root.path() + "/delta-old", next = root.path() + "/delta-new", pack = QFileInfo(updaterBinary()).absolutePath() + "/farwen-pack";
        QDir(old).removeRecursively();
        QDir(next).removeRecursively();
        for (const QString &tree : {old, next}) {
            const bool isNew = tree == next;
            writeTreeFile(tree + "/Pellamo.exe", isNew ? "main v2" : "main v1");
            // A byte in a hundred changed, as addresses move: bsdiff's kind of patch, over one of its blocks once.
            QByteArray big(bigBytes, Qt::Uninitialized);
            QRandomGenerator(3).fillRange(reinterpret_cast<quint32 *>(big.data()), big.size() / 4);
            big.replace(100000, 10000, QByteArray(isNew ? 10010 : 10000, '\0')); // padding that grows: two matches reach into it
            for (int i = 0; isNew && i < big.size(); i += 100)
                big[i] = char(big[i] + 1);
            writeTreeFile(tree + "/lib/big.dll", big);
            writeTreeFile(tree + "/empty.txt", "");
            if (huge) { // over 64 MiB and like no other part of itself: blocks or windows
                QByteArray huge(70 << 20, Qt::Uninitialized);
                QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(huge.data()), huge.size() / 4);
                QByteArray fresh(5 << 18, Qt::Uninitialized); // new bytes: a patch over more than one read of the package
                QRandomGenerator(8).fillRange(reinterpret_cast<quint32 *>(fresh.data()), fresh.size() / 4);
                writeTreeFile(tree + "/Data/huge.so", isNew ? huge.insert(1000, fresh).replace(60 << 20, 3, "new") : huge);
            }
            writeTreeFile(tree + (isNew ? "/becomes/inner.txt" : "/becomes"), "b");
            if (full != "f.zip") // a full package cannot turn a directory into a file
                writeTreeFile(tree + (isNew ? "/wasdir" : "/wasdir/inner.txt"), "w");
            writeTreeFile(tree + (isNew ? "/new-name.txt" : "/old-name.txt"), HttpServer::pattern(20000));
            writeTreeFile(tree + "/数据/说明.txt", QByteArray(isNew ? "新" : "旧").repeated(1000)); // no smaller whole than patched
            writeTreeFile(tree + "/数据/说明2.txt", HttpServer::pattern(isNew ? 1100000 : 30000)); // grows past a group of 1 MiB
            writeTreeFile(tree + "/config.ini", isNew ? "[App]\nVersion=1.0\nChannel=stable\n" : "[App]\nVersion=1.0\n");
        }
        QFile::setPermissions(next + "/数据/说明.txt", QFile::permissions(next + "/数据/说明.txt") | QFileDevice::ExeOwner); // the mode travels
        app = root.path() + "/DeltaApp";
        QDir(app).removeRecursively();
        QCOMPARE(QProcess::execute("cp", {"-a", old, app}), 0);
        const QByteArray customer = "[App]\nVersion=1.0\n[User]\nLicence=K-1\n"; // never the package's to replace
        writeTreeFile(app + "/config.ini", customer);
        writeTreeFile(app + "/notes/mine.txt", "on no list: never touched");
        // Installed from a full package: its list says what the old version shipped.
        QCOMPARE(QProcess::execute(pack, {"full", old, "-o", root.path() + "/o.zip"}), 0);
        QCOMPARE(QProcess::execute("/usr/bin/bsdtar", {"-xf", root.path() + "/o.zip", "-C", app, "farwen-files.json"}), 0);
        // The smaller kind of patch for files together, the one over 64 MiB alone; or each file alone.
        const bool alone = groups == 0;
        QProcess packing;
        packing.start(pack, QStringList{"delta", old, next, "-o", root.path() + "/d.zip"} + options);
        QVERIFY(packing.waitForFinished(300000) && packing.exitCode() == 0);
        QCOMPARE(packing.readAllStandardError().contains("updaters from before groups refuse it"), !alone);
        QCOMPARE(QProcess::execute(pack, {"full", next, "-o", root.path() + "/f.zip"}), 0);
        // The changed library and the renamed file travel as patches, not whole (names are never compressed).
        const QByteArray entries = snapshotTree(root.path()).value("d.zip");
        QProcess listed;
        listed.start("/usr/bin/bsdtar", {"-xOf", root.path() + "/d.zip", "farwen-delta.json"});
        QVERIFY(listed.waitForFinished(20000));
        QMap<QString, int> grouped;
        for (const QJsonValue f : QJsonDocument::fromJson(listed.readAllStandardOutput()).object().value("files").toArray())
            if (f["group"].toInt())
                grouped[f["path"].toString()] = f["group"].toInt();
        if (groups == 4) // of 1 MiB
            QCOMPARE(grouped, (QMap<QString, int>{{"Data/huge.so", 1}, {"lib/big.dll", 2}, {"new-name.txt", 3}, {"wasdir", 3}, {"数据/说明.txt", 3}, {"数据/说明2.txt", 4}}));
        for (int i = 1; i <= groups + 1; ++i)
            QVERIFY2(entries.contains("patches/group-" + QByteArray::number(i) + ".") == (i <= groups), qPrintable(QString::number(i)));
        for (const QString name : {"lib/big.dll.zst", "new-name.txt.zst", "Data/huge.so.zst"})
            QVERIFY2(!alone || entries.contains("patches/" + name.toUtf8()), qPrintable(name));
        QVERIFY(alone || entries.contains("patches/group-1.bsdiff"));
        QVERIFY(!entries.contains("files/lib/big.dll") && !entries.contains("files/new-name.txt"));
        QVERIFY(QFileInfo(root.path() + "/d.zip").size() < 3000000);
        if (!edit.isEmpty())
            QCOMPARE(QProcess::execute("python3", {"-c", "import json, struct, sys, zipfile\nz = zipfile.ZipFile(sys.argv[1]); d = {n: z.read(n) for n in z.namelist()}; z.close()\n"
                                                         "zf = lambda b: bytes.fromhex('28b52ffde0') + struct.pack('<Q', len(b)) + b''.join(struct.pack('<I', (i + 131072 >= len(b)) | "
                                                         "len(b[i:i + 131072]) << 3)[:3] + b[i:i + 131072] for i in range(0, max(len(b), 1), 131072))\n"
                                                         "bs = lambda r, f, e: (lambda p: struct.pack('<3I', *map(len, p)) + b''.join(p))([zf(b''.join(struct.pack('<3q', *x) for x in r)), zf(f), zf(e)])\n"
                                                         "M = 'farwen-delta.json'; m = d[M]; exec(sys.argv[2]); d['pad'] = bytes(range(256)) * 9\n"
                                                         "z = zipfile.ZipFile(sys.argv[1], 'w')\nfor n, b in d.items(): z.writestr(n, b)\n",
                                                   root.path() + "/d.zip", edit}), 0);
        writeTreeFile(root.path() + "/victim.txt", HttpServer::pattern(20000)); // the bytes of the file the delta deletes
        QDir(root.path() + "/lib-elsewhere").removeRecursively();
        if (!here.isEmpty())
            QCOMPARE(QProcess::execute("sh", {"-c", QString(here).replace("APP", "'" + app + "'").replace("ROOT", "'" + root.path() + "'")}), 0);
        // The publisher's check says what the updater will do with the delta.
        QProcess verifying;
        verifying.start(pack, {"verify", root.path() + "/d.zip", "--against", app});
        QVERIFY(verifying.waitForFinished(120000));
        const QString printed = QString::fromUtf8(verifying.readAllStandardError());
        QVERIFY2(printed.contains(said), qPrintable(said + " not in: " + printed));
        QCOMPARE(verifying.exitCode() == 0, checked);
        // Without the installation, by every rule of the manifest alone.
        QCOMPARE(QProcess::execute(pack, {"verify", root.path() + "/d.zip"}) == 0, rulesHold);
        HttpServer server;
        QMap<QString, QString> sha;
        for (const QString zip : {"d.zip", "f.zip"}) {
            const QByteArray body = readTreeFile(root.path() + "/" + zip);
            server.route("/" + zip, HttpRoute(200, body));
            sha[zip] = QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex());
        }
        ToolDoubles tools(root.path() + "/tools-delta-" + QString::number(qHash(QString(QTest::currentDataTag()))));
        tools.add("taskkill", 128);
        // While the product stops, the rebuilt file's inode, to tell a move into place from a copy.
        const QString inodes = root.path() + "/rebuilt.inodes";
        QFile::remove(inodes);
        tools.add("tasklist", 0, !backedUp.isEmpty() ? QString("ls APP/_update_backup_*.journal >/dev/null 2>&1 && " + backedUp).replace("APP", "'" + app + "'")
                                                             : "stat -c %i \"$PROGRAMDATA\"/KarvoUpdate_*/rebuilt/new-name.txt > '" + inodes + "' 2>/dev/null || true");
        const auto before = snapshotTree(app);
        const QByteArray dataRoot = qgetenv("PROGRAMDATA");
        const auto restoreRoot = qScopeGuard([dataRoot] { qputenv("PROGRAMDATA", dataRoot); });
        std::unique_ptr<QTemporaryDir> work;
        for (const QString other : {"/dev/shm", "/tmp", "/var/tmp"})
            if (elsewhere && !work && QFileInfo(other).isDir() && QStorageInfo(other).device() != QStorageInfo(app).device())
                work = std::make_unique<QTemporaryDir>(other + "/farwen-work-XXXXXX");
        if (elsewhere && !work)
            QSKIP("no second file system for the work folder here");
        if (work)
            qputenv("PROGRAMDATA", work->path().toUtf8());
        const int descriptors = QDir("/proc/self/fd").count();
        TestableEngine engine;
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.0", server.url("/d.zip"));
        engine.setExpectedSha256(sha["d.zip"]);
        engine.setFullDownloadUrl(full.isEmpty() ? QString() : server.url("/" + full), sha[fullSha]);
        Recorder rec(engine);
        QSignalSpy ready(&engine, &UpdateEngine::readyToInstall);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(ready.count() || !rec.events.isEmpty(), 10000);
        if (ready.count())
            run(engine, rec);
        QCOMPARE(rec.events.last(), last);
        auto tree = snapshotTree(app, "_update_backup_"), expected = updated ? snapshotTree(next) : before;
        const QByteArray ini = tree.take("config.ini");
        expected.remove("config.ini");
        QCOMPARE(tree.take("farwen-files.json").contains("new-name.txt"), updated);
        QCOMPARE(QFileInfo(app + "/数据/说明.txt").isExecutable(), updated);
        expected.remove("farwen-files.json");
        expected.insert("notes/mine.txt", "on no list: never touched");
        if (updated) // the new key added (not from a patch left out), the customer's kept
            QVERIFY2(ini.contains(edit.contains("config.ini") ? "[App]\nVersion=2.0\n[User]\nLicence=K-1\n" : "Version=2.0\nChannel=stable\n[User]\nLicence=K-1\n"), ini.constData());
        else
            QCOMPARE(ini, customer);
        if (updated && full.isEmpty()) { // moved into place from a work folder on the same file system
            QProcess inode;
            inode.start("stat", {"-c", "%i", app + "/new-name.txt"});
            QVERIFY(inode.waitForFinished() && inode.exitCode() == 0);
            QCOMPARE(readTreeFile(inodes).split('\n').contains(inode.readAll().trimmed()), !elsewhere);
        }
        // Nothing left open per file placed, moved or copied (the first run starts the network's own).
        QVERIFY2(QDir("/proc/self/fd").count() <= uint(descriptors + 4), qPrintable(QDir("/proc/self/fd").entryList().join(' ')));
        QCOMPARE(tree, expected);
        QCOMPARE(server.requestCount("/f.zip"), full == "f.zip" ? 1 : 0);
        QCOMPARE(rec.fullUpdate, server.requestCount("/f.zip") + server.requestCount("/d.zip") - 1); // one fallback at most
        QVERIFY(QFile::exists(root.path() + "/victim.txt"));
        engine.cancel();
    }

    // The publisher's tree changed by another user between its listing and
    // its reading: a folder swapped for a link to a secret is never packaged.
    void publisherTreeSwapped()
    {
        POSIX_ONLY(true, "a preloaded shim");
        const QString d = root.path() + "/swapped", secret = d + "/secret";
        writeTreeFile(d + "/new/Pellamo.exe", "main");
        writeTreeFile(d + "/new/sub/a.txt", "public");
        writeTreeFile(secret + "/a.txt", "secret"); // of the same size
        QCOMPARE(QProcess::execute("chown", {"-R", "65534", d + "/new/sub"}), 0);
        QProcess pack;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QStringList &v : QList<QStringList>{{"LD_PRELOAD", FARWEN_SWAP_SHIM}, {"FARWEN_SWAP_DIR", d + "/new/sub"}, {"FARWEN_SWAP_TO", secret},
                                                       {"FARWEN_SWAP_AT", "2"}}) // the listing's call, then the first read
            env.insert(v[0], v[1]);
        pack.setProcessEnvironment(env);
        pack.start(QFileInfo(updaterBinary()).absolutePath() + "/farwen-pack", {"full", d + "/new", "-o", d + "/f.zip"});
        QVERIFY(pack.waitForFinished(20000) && pack.exitCode() == 1 && QFileInfo::exists(secret + ".swapped") && !QFileInfo::exists(d + "/f.zip")
                && pack.readAllStandardError().contains("changed since it was listed: " + d.toUtf8() + "/new/sub/a.txt"));
    }

    // Over 1 GiB on either side, a file travels whole: the tool holds both sides of a patch.
    void publisherHugeFile()
    {
        POSIX_ONLY(true, "a sparse file");
        const QString d = root.path() + "/huge";
        writeTreeFile(d + "/old/big.bin", "x");
        writeTreeFile(d + "/new/big.bin", "");
        QVERIFY(QFile::resize(d + "/new/big.bin", (qint64(1) << 30) + 1));
        QProcess pack;
        pack.start(QFileInfo(updaterBinary()).absolutePath() + "/farwen-pack", {"delta", d + "/old", d + "/new", "-o", d + "/d.zip"});
        QVERIFY(pack.waitForFinished(300000) && pack.exitCode() == 0 && pack.readAllStandardError().contains("big.bin travels whole: over 1 GiB"));
        QDir(d).removeRecursively();
    }

    // Copies and removals below a root never pass a link or "..", and a copy
    // gets ordinary modes.
    void confinedCopies()
    {
        POSIX_ONLY(true, "modes and symbolic links");
        const QString a = root.path() + "/ca", b = root.path() + "/cb";
        writeTreeFile(a + "/d/f", "x");
        QDir().mkpath(b);
        QCOMPARE(QProcess::execute("chmod", {"6777", a + "/d/f"}), 0);
        QVERIFY(platform::copyFileBelow(a.toStdString(), b.toStdString(), "d/f"));
        QCOMPARE(int(QFileInfo(b + "/d/f").permissions() & 0x7777), 0x7755);
        QVERIFY(QFile::link(a + "/d", b + "/l"));
        for (const char *rel : {"d/../d/f", "./d/f", "d//f", "d/.", "l/f", "l/g"})
            QVERIFY2(!platform::copyFileBelow(a.toStdString(), b.toStdString(), rel) && !platform::copyFileBelow(b.toStdString(), a.toStdString(), rel)
                         && !platform::removeFileBelow(b.toStdString(), rel), rel);
        QVERIFY(QFile::exists(a + "/d/f") && !QFile::exists(a + "/d/g"));
        QVERIFY(platform::removeFileBelow(b.toStdString(), "d/f") && !QFile::exists(b + "/d/f"));
        // Replace writes over a plain file of its own in place (what holds it open
        // reads the new bytes), never through another name.
        for (const QString there : {"own", "hard link", "link", "writable by others"}) {
            writeTreeFile(b + "/theirs", "theirs"), QFile::remove(b + "/d/f");
            QVERIFY(there == "own" ? (writeTreeFile(b + "/d/f", "longer old contents"), true)
                    : there == "writable by others" ? (writeTreeFile(b + "/d/f", "theirs"), QProcess::execute("chmod", {"666", b + "/d/f"}) == 0)
                    : there == "link" ? QFile::link(b + "/theirs", b + "/d/f") : QProcess::execute("ln", {b + "/theirs", b + "/d/f"}) == 0);
            QFile held(b + "/d/f");
            QVERIFY2(held.open(QIODevice::ReadOnly) && !platform::copyFileBelow(a.toStdString(), b.toStdString(), "d/f")
                         && platform::copyFileBelow(a.toStdString(), b.toStdString(), "d/f", platform::Existing::Replace)
                         && readTreeFile(b + "/d/f") == "x" && !QFileInfo(b + "/d/f").isSymLink() && readTreeFile(b + "/theirs") == "theirs"
                         && (held.readAll() == "x") == (there == "own"),
                     qPrintable(there));
        }
        // Across file systems the copy reads and writes itself: a full volume fails it, and nothing stays.
        const QString full = root.path() + "/full";
        QVERIFY(QDir().mkpath(full) && QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=64k", "tmpfs", full}) == 0);
        writeTreeFile(a + "/big", QByteArray(256 << 10, 'b')), writeTreeFile(a + "/small", QByteArray(40000, 's'));
        const bool copied = platform::copyFileBelow(a.toStdString(), full.toStdString(), "big"), left = QFile::exists(full + "/big");
        const bool small = platform::copyFileBelow(a.toStdString(), full.toStdString(), "small") && readTreeFile(full + "/small") == readTreeFile(a + "/small");
        QProcess::execute("umount", {full});
        QVERIFY(!copied && !left && small);
        // A source that changed before its hash was taken fails its copy (its time
        // set back first: a change in the same clock tick would not show).
        QCOMPARE(QProcess::execute("touch", {"-d", "2020-01-01", a + "/big"}), 0);
        platform::HashedCopier copier;
        QVERIFY(copier.copy((a + "/small").toStdString(), (b + "/small").toStdString(), "small")
                && copier.copy((a + "/big").toStdString(), (b + "/big").toStdString(), "big"));
        writeTreeFile(a + "/big", QByteArray(256 << 10, 'c')); // as large as it was
        const auto hashed = copier.finish();
        QVERIFY(hashed.size() == 1 && hashed.at("small").size == 40000 && hashed.at("small").stamp == platform::fileStamp((b + "/small").toStdString())
                && hashed.at("small").sha256 == QCryptographicHash::hash(readTreeFile(a + "/small"), QCryptographicHash::Sha256).toHex().toStdString());
        platform::FlushPlan plan; // folders that went (or became links) are their parents' changes
        plan.wrote(b.toStdString(), "d/f"), plan.changed(b.toStdString(), "x/y"), plan.changed(b.toStdString(), "l/f");
        QVERIFY(plan.flush());
    }

    // The next start after a crash whose backup cannot restore (kills and
    // power cuts at every step are the explorer's): the update stops, all is kept.
    void recoveryAtNextStart_data()
    {
        QTest::addColumn<QString>("phase");
        QTest::addColumn<QString>("backup");
        QTest::newRow("backup gone") << "unpacking" << "gone";
        QTest::newRow("a link in the backup's place") << "unpacking" << "link";
        QTest::newRow("one file cannot be put back") << "unpacking" << "blocked";
        QTest::newRow("a backup copy emptied") << "unpacking" << "emptied";
        QTest::newRow("journal cut in half") << "unpacked" << "journal halved";
        // Evidence of an apply whose journal is lost: kept for a person to see.
        QTest::newRow("backup of no apply") << "" << "usable";
        QTest::newRow("a half-written file, no journal") << "" << "pending";
    }
    void recoveryAtNextStart()
    {
        QFETCH(QString, phase);
        QFETCH(QString, backup);
        POSIX_ONLY(backup == "link" || backup == "blocked", "symbolic links");
        TestableEngine crashed;
        prepare(crashed);
        QVERIFY(crashed.createBackup());
        QVERIFY(!posix() || !(QFile::permissions(crashed.backupDir) & 0x0077));
        const QString backupDir = crashed.backupDir;
        const QString journal = backupDir + ".journal";
        if (phase.isEmpty())
            QVERIFY(QFile::remove(journal));
        else
            QVERIFY(crashed.writeJournal(phase)); // listing the file the apply adds
        if (!phase.isEmpty()) { // a mixed tree: changed, new and truncated files
            writeTreeFile(app + "/Pellamo.exe", "main v2");
            writeTreeFile(app + "/added.dll", "new");
            QFile::resize(app + "/lib/m3.dll", 10);
            writeTreeFile(app + "/config.ini", "[App]\nVersion=2.0\n"); // with the files, or not at all
        }
        if (backup == "emptied")
            QFile::resize(backupDir + "/lib/m3.dll", 0);
        if (backup == "journal halved")
            QFile::resize(journal, QFileInfo(journal).size() / 2);
        if (backup == "pending" || backup == "gone") // a half-written file, no backup
            QVERIFY(QDir(backupDir).removeRecursively() && (backup == "gone" || QFile::copy(app + "/Pellamo.exe", app + "/Pellamo.exe.farwen-new")));
        if (backup == "link") // someone else's tree, however complete
            QVERIFY(QDir().rename(backupDir, root.path() + "/elsewhere") && QFile::link(root.path() + "/elsewhere", backupDir));
        if (backup == "blocked")
            QVERIFY(QFile::remove(app + "/lib/m3.dll") && QDir().mkdir(app + "/lib/m3.dll")
                    && QFile::link(root.path(), app + "/lib/m3.dll/elsewhere"));
        const auto before = snapshotTree(app, "_update_backup_");
        TestableEngine next;
        QSignalSpy errors(&next, &UpdateEngine::errorOccurred);
        next.setUpdateInfo(app + "/Pellamo.exe", "3.0", "http://127.0.0.1:1/p.zip");
        QCOMPARE(errors.count(), 1);
        if (backup != "blocked")
            QCOMPARE(snapshotTree(app, "_update_backup_"), before);
        QCOMPARE((QList<bool>{QFileInfo::exists(journal), QFileInfo::exists(backupDir), QFileInfo::exists(app + "/Pellamo.exe.farwen-new")}),
                 (QList<bool>{!phase.isEmpty(), backup != "gone" && backup != "pending", backup == "pending"}));
        next.startDownload(); // no update goes over the broken tree
        QCOMPARE(errors.count(), 2);
        QCOMPARE(errors.last().first().toString(), QStringLiteral("安装失败且无法恢复，需要重新安装"));
        QVERIFY(!next.isRunning);
        QDir(root.path() + "/elsewhere").removeRecursively(); // the rest goes with the next prepare()
    }

};

QTEST_GUILESS_MAIN(TestInstallDriver)
#include "test_install_driver.moc"
