// Start-up: bad input through the real binary, stale work directories, the companion.
#include "startup/stale_cleanup.h"
#include "startup/update_info.h"
#include "download/download_cache.h"
#include "platform/platform.h"
#include "support/product_sandbox.h"
#include "support/tree_snapshot.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <thread>

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray infoJson(const QString &appPath, const QString &extra = QString())
{
    return QStringLiteral("{\"app_path\": \"%1\", \"new_version\": \"2.0.1\", \"download_url\": \"http://127.0.0.1:1/p.zip\"%2}")
        .arg(appPath, extra).toUtf8();
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT
    QTemporaryDir sandbox;

private slots:
    void badInputEndsWithOne_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("fileRemains");
        const QByteArray missing = infoJson("/nonexistent/dir/Pellamo.exe");
        const QStringList info{"-i", "info.json"};
        QTest::newRow("no -i") << QStringList{"-m", "manual"} << missing << "错误：必须通过 -i 参数传递JSON文件" << true;
        // Deleted only once it proves to be an update-info file.
        QTest::newRow("json array") << info << QByteArray("[1, 2]") << "JSON格式不正确" << true;
        QTest::newRow("a fifo") << QStringList{"-i", "fifo"} << QByteArray() << "不是普通文件: \"fifo\"" << true;
        QTest::newRow("no such file") << QStringList{"-i", "gone.json"} << QByteArray() << "无法读取JSON文件: \"gone.json\"" << false;
        QTest::newRow("-i empty") << QStringList{"-i", ""} << QByteArray() << "无法读取JSON文件: \"\"" << true;
        QTest::newRow("version as number")
            << info << QByteArray("{\"app_path\": \"/x/Pellamo.exe\", \"new_version\": 2, \"download_url\": \"http://x/p.zip\"}")
            << "参数不完整" << false;
        QTest::newRow("program missing") << info << missing << "主程序不存在: \"/nonexistent/dir/Pellamo.exe\"" << false;
        const QString program = sandbox.path() + "/prod/PELLAMO.exe";
        writeTreeFile(program, "main");
        QTest::newRow("not http") << info << infoJson(program).replace("http://127.0.0.1:1/p.zip", "file:///etc/passwd")
                                  << "下载地址必须是http或https: \"file:///etc/passwd\"" << false;
        QTest::newRow("a long address with a password") << info << infoJson(program).replace("http://127.0.0.1:1/p.zip", ("ftp://me:p@ss@x/" + QString(200000, 'a')).toUtf8())
                                                        << "下载地址必须是http或https: \"ftp://***@x/aaaa" << false; // in a line of the log's size
        writeTreeFile(sandbox.path() + "/prod/OldPellamo.exe", "main");
        QTest::newRow("name that ends like the main program") << info << infoJson(sandbox.path() + "/prod/OldPellamo.exe")
                                                              << "不是产品的主程序: \"" + sandbox.path() + "/prod/OldPellamo.exe\"" << false;
        // Through a link to another folder's file: judged by the real file.
        writeTreeFile(sandbox.path() + "/elsewhere/notes.txt", "x");
        QDir().mkpath(sandbox.path() + "/linked");
        QFile::link(sandbox.path() + "/elsewhere/notes.txt", sandbox.path() + "/linked/Pellamo.exe");
        QTest::newRow("not the main program") << info << infoJson(sandbox.path() + "/linked/Pellamo.exe")
                                              << "不是产品的主程序: \"" + sandbox.path() + "/elsewhere/notes.txt\"" << false;
        // A main program lost in a crash: the interrupted apply is undone
        // first, so the run gets past the program's check to the next one.
        const QString crashed = sandbox.path() + "/crashed";
        writeTreeFile(crashed + "/_update_backup_1/Pellamo.exe", "main");
        writeTreeFile(crashed + "/_update_backup_1.journal", "{\"phase\": \"unpacking\"}");
        QTest::newRow("main program lost in a crash") << info << infoJson(crashed + "/Pellamo.exe").replace("http://127.0.0.1:1/p.zip", "file:///x")
                                                      << "下载地址必须是http或https: \"file:///x\"" << false;
        QTest::newRow("a scheme that begins like http") << info << infoJson(program).replace("http://", "httpx://")
                                                        << "下载地址必须是http或https: \"httpx://127.0.0.1:1/p.zip\"" << false;
        // Relative to the updater's folder, not to where it was started: the program is found, the hash is next.
        QTest::newRow("relative app_path") << info << infoJson(QDir(QFileInfo(updaterBinary()).absolutePath()).relativeFilePath(program), ", \"sha256\": \"x\"")
                                           << "sha256格式不正确: \"x\"" << false;
        const QString longer = "0" + QString(64, 'a');
        QTest::newRow("sha256 with a digit more") << info << infoJson(program, ", \"sha256\": \"" + longer + "\"")
                                                  << "sha256格式不正确: \"" + longer + "\"" << false;
        QTest::newRow("full_sha256 a digit short") << info << infoJson(program, ", \"sha256\": \"" + longer.mid(1) + "\", \"full_sha256\": \"" + longer.mid(2) + "\"")
                                                   << "sha256格式不正确: \"" + longer.mid(2) + "\"" << false;
    }
    void badInputEndsWithOne()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, content);
        QFETCH(QString, line);
        QFETCH(bool, fileRemains);
        const QString cwd = sandbox.path() + "/w/w/w/w/w/w/w/w/w/w"; // deeper than the updater's folder: a path relative to that fails here
        writeTreeFile(cwd + "/info.json", content);
        mkfifo(QFile::encodeName(cwd + "/fifo").constData(), 0666);
        QString err;
        QCOMPARE(runToEnd(updaterBinary(), args, cwd, updaterEnvironment(sandbox.path()), &err), 1);
        QVERIFY2(err.contains(line) && err.size() < 20000 && !err.contains("JSON文件无法删除"), qPrintable(err.left(20000)));
        QCOMPARE(QFileInfo::exists(cwd + "/" + (args.first() == "-i" ? args.at(1) : "info.json")), fileRemains);
    }

    // What another user plants where the updater keeps its lock, logs and record, or a data root
    // that others can change: the updater takes a folder of root's alone, or refuses, and the
    // victim (a folder of root's) loses nothing.
    void plantedDataRoot_data()
    {
        QTest::addColumn<QString>("plant"); // shell as root first (DATA: the data root, LOCK: the updater's folder)
        QTest::addColumn<bool>("held"); // LOCK/updater.lock locked by another meanwhile
        QTest::addColumn<int>("runs"); // two: in one instant, the clock stopped
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("logs"); // run logs afterwards
        QTest::addColumn<QString>("record"); // last-result.json's outcome afterwards
        QTest::addColumn<bool>("taken"); // LOCK a directory of root's alone afterwards
        const QString bad = "JSON格式不正确", unsafe = "数据目录不安全，拒绝更新:";
        QTest::newRow("lock: a link") << "ln -s VICTIM LOCK && chmod 700 VICTIM" << false << 1 << bad << 1 << "incomplete" << true;
        QTest::newRow("lock: a directory") << "mkdir LOCK && touch LOCK/updater.lock && chown -R 65534 LOCK && chmod -R go-rwx LOCK"
                                           << true << 1 << bad << 1 << "incomplete" << true;
        QTest::newRow("lock: a fifo") << "mkfifo -m 600 LOCK" << false << 1 << bad << 1 << "incomplete" << true;
        QTest::newRow("lock: held") << "mkdir LOCK && touch LOCK/updater.lock && chown -R 65534 LOCK && chmod -R a+rwx LOCK"
                                    << true << 1 << bad << 1 << "incomplete" << true;
        QTest::newRow("lock: readable") << "mkdir -m 755 LOCK" << false << 1 << bad << 1 << "incomplete" << true;
        QTest::newRow("data root open to all") << "mkdir LOCK && chmod 777 DATA" << false << 1 << unsafe << 0 << "" << false;
        QTest::newRow("data root open through an ACL") << "setfacl -m u:nobody:rwx DATA" << false << 1 << unsafe << 0 << "" << false;
        // To a sound folder, which a link can change.
        QTest::newRow("data root through a link") << "mv DATA DATA.real && ln -s DATA.real DATA" << false << 1 << unsafe << 0 << "" << false;
        // This run's record all the same: an earlier success never stands for it.
        QTest::newRow("logs blocked by a file, an earlier success")
            << "mkdir -m 700 LOCK && touch LOCK/logs && echo '{\"outcome\": \"success\"}' > LOCK/last-result.json" << false << 1
            << "无法写入运行记录" << 0 << "incomplete" << true;
        QTest::newRow("two runs in one instant") << "true" << false << 2 << bad << 2 << "incomplete" << true; // a log each
    }
    void plantedDataRoot()
    {
        QFETCH(QString, plant);
        QFETCH(bool, held);
        QFETCH(int, runs);
        QFETCH(QString, line);
        QFETCH(int, logs);
        QFETCH(QString, record);
        QFETCH(bool, taken);
        QTemporaryDir dir;
        const QProcessEnvironment env = updaterEnvironment(dir.path());
        const QString data = dir.path() + "/programdata", victim = dir.path() + "/victim", lock = data + "/FarwenUpdater";
        QMap<QString, QByteArray> precious;
        for (int i = 0; i < 20; ++i)
            writeTreeFile(victim + "/f" + QString::number(i), precious[QStringLiteral("f%1").arg(i)] = "keep");
        QCOMPARE(QProcess::execute("sh", {"-c", QString(plant).replace("VICTIM", victim).replace("LOCK", lock).replace("DATA", data)}), 0);
        QFile lockFile(lock + "/updater.lock");
        QVERIFY(!held || (lockFile.open(QIODevice::ReadWrite) && flock(lockFile.handle(), LOCK_EX | LOCK_NB) == 0));
        writeTreeFile(dir.path() + "/info.json", "[1]");
        QString err;
        for (int run = 0; run < runs; ++run) // more than one: with the clock stopped
            QCOMPARE(runToEnd(runs > 1 ? "faketime" : updaterBinary(), (runs > 1 ? QStringList{"-f", "2026-01-01 00:00:00", updaterBinary()} : QStringList()) + QStringList{"-i", "info.json"}, dir.path(), env, &err), 1);
        QVERIFY2(err.contains(line), qPrintable(err));
        QCOMPARE(QDir(lock + "/logs").entryList({"update-*"}).size(), logs);
        QCOMPARE(QJsonDocument::fromJson(snapshotTree(lock).value("last-result.json")).object().value("outcome").toString(), record);
        QCOMPARE(snapshotTree(victim), precious);
        const QFileInfo folder(lock); // never the one planted
        QCOMPARE(folder.isDir() && !folder.isSymLink() && folder.ownerId() == 0 && (folder.permissions() & 0x0077) == 0, taken);
    }

    // A tree the updater removes, whose directories another user swaps for links to a victim each
    // time they are opened: the victim loses nothing, and what is not the updater's to remove stays.
    void swappedTrees_data()
    {
        QTest::addColumn<QString>("tree"); // DATA: the data root, DIR: the test's folder
        QTest::addColumn<uint>("owner");
        QTest::addColumn<QString>("journal"); // beside the tree
        QTest::addColumn<QString>("requester"); // PKEXEC_UID of an update run for 3.5 s; none: a run with bad input
        QTest::addColumn<bool>("removed"); // the updater removed where a link led (the victim, moved aside)
        const QString stale = "DATA/KarvoUpdate_1", companion = "DIR/upd";
        QTest::newRow("stale work directory of another user") << stale << 65534u << "" << "" << false; // not the updater's to delete
        QTest::newRow("stale work directory, swapped") << stale << 0u << "" << "" << true;
        QTest::newRow("companion, swapped") << companion << 65534u << "" << "65534" << true;
        // Root, or no number: nobody asked, nothing is anyone's to remove.
        QTest::newRow("companion, swapped, PKEXEC_UID=0") << companion << 0u << "" << "0" << false;
        QTest::newRow("companion, swapped, PKEXEC_UID=abc") << companion << 0u << "" << "abc" << false;
        QTest::newRow("companion, swapped, PKEXEC_UID=65534x") << companion << 65534u << "" << "65534x" << false;
        // An apply committed, its backup not yet removed.
        QTest::newRow("committed backup, swapped") << "DIR/app/_update_backup_1" << 0u << R"({"phase": "committed"})" << "0" << true;
    }
    void swappedTrees()
    {
        QFETCH(QString, tree);
        QFETCH(uint, owner);
        QFETCH(QString, journal);
        QFETCH(QString, requester);
        QFETCH(bool, removed);
        QTemporaryDir dir;
        QProcessEnvironment env = updaterEnvironment(dir.path());
        const QString victim = dir.path() + "/victim";
        QMap<QString, QByteArray> precious; // named as the files of the tree
        for (int i = 0; i < 20; ++i)
            writeTreeFile(victim + "/f" + QString::number(i), precious[QStringLiteral("f%1").arg(i)] = "keep");
        tree.replace("DATA", dir.path() + "/programdata").replace("DIR", dir.path());
        for (int i = 0; i < 2000; ++i)
            writeTreeFile(QStringLiteral("%1/%2/f%3").arg(tree).arg(i / 20).arg(i % 20), "x");
        QProcess::execute("chown", {"-R", QString::number(owner), tree});
        if (!journal.isEmpty())
            writeTreeFile(tree + ".journal", journal.toUtf8());
        // A directory when looked at, a link when opened: every time, not by winning a race.
        env.insert("LD_PRELOAD", FARWEN_SWAP_SHIM);
        env.insert("FARWEN_SWAP_DIR", tree + "/0");
        env.insert("FARWEN_SWAP_TO", victim);
        if (requester.isEmpty()) {
            writeTreeFile(dir.path() + "/info.json", "[1]");
            QString err;
            QCOMPARE(runToEnd(updaterBinary(), {"-i", "info.json"}, dir.path(), env, &err), 1);
            QVERIFY2(err.contains("JSON格式不正确"), qPrintable(err));
        } else { // the companion goes 2 s after the start, as the user who asked
            writeTreeFile(dir.path() + "/app/Pellamo.exe", "main");
            writeTreeFile(dir.path() + "/upd.json", infoJson(dir.path() + "/app/Pellamo.exe"));
            env.insert("PKEXEC_UID", requester);
            QProcess updater;
            updater.setProcessEnvironment(env);
            updater.start(updaterBinary(), {"-i", dir.path() + "/upd.json"});
            QTest::qWait(3500);
            updater.terminate();
            QVERIFY(updater.waitForFinished(5000));
        }
        QCOMPARE(snapshotTree(victim), precious);
        QCOMPARE(QFileInfo::exists(victim + ".swapped"), removed); // where the updater removes
        if (!removed)
            QVERIFY(QFileInfo::exists(tree + "/0x/f0") || QFileInfo::exists(tree + "/0/f0"));
    }

    // A journal and backup planted in the installation to be "restored" as
    // root: used only where the elevated user alone could have written them,
    // with paths inside the installation, never through a link, no setuid.
    void plantedJournal_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<QString>("line");
        const QString untrusted = "更新日志或备份不可信，不使用:", refused = "安装目录可被他人修改，拒绝更新:";
        QTest::newRow("the user's installation") << "chown -R 65534 APP" << refused;
        QTest::newRow("installation open through an ACL") << "setfacl -m u:nobody:rwx APP" << refused;
        QTest::newRow("journal of another user") << "chown 65534 APP/_update_backup_x.journal" << untrusted;
        QTest::newRow("backup of another user") << "chown 65534 APP/_update_backup_x" << untrusted;
        QTest::newRow("journal path escapes") << "sed -i s#new.dll#../../victim.txt# APP/_update_backup_x.journal" << untrusted;
        QTest::newRow("root's own, a link inside") << "true" << "无法从中断的更新中恢复，保留备份:";
    }
    void plantedJournal()
    {
        QFETCH(QString, attack);
        QFETCH(QString, line);
        QTemporaryDir dir;
        const QString app = dir.path() + "/app", backup = app + "/_update_backup_x";
        writeTreeFile(app + "/Pellamo.exe", "main");
        writeTreeFile(dir.path() + "/victim.txt", "keep");
        writeTreeFile(backup + ".journal", R"({"phase": "unpacking", "added": ["new.dll"]})");
        writeTreeFile(backup + "/sub/planted.txt", "planted");
        QDir().mkpath(dir.path() + "/rootdir");
        QVERIFY(QFile::link(dir.path() + "/rootdir", app + "/sub"));
        QCOMPARE(QProcess::execute("install", {"-m", "4757", "/usr/bin/id", backup + "/rootshell"}), 0);
        QCOMPARE(QProcess::execute("sh", {"-c", attack.replace("APP", app)}), 0);
        QString err;
        QCOMPARE(runToEnd(updaterBinary(), {"--recover", app + "/Pellamo.exe"}, dir.path(), updaterEnvironment(dir.path()), &err), 1);
        QVERIFY2(err.contains(line), qPrintable(err));
        QFile victim(dir.path() + "/victim.txt");
        QVERIFY(victim.open(QIODevice::ReadOnly) && victim.readAll() == "keep");
        QVERIFY(QDir(dir.path() + "/rootdir").isEmpty());
        QFileInfo shell(app + "/rootshell");
        QCOMPARE(shell.exists(), attack == "true");
        struct stat st;
        QVERIFY(!shell.exists() || (::stat(QFile::encodeName(shell.filePath()), &st) == 0 && (st.st_mode & 07777) == 0755));
        QVERIFY(QFileInfo::exists(backup + "/rootshell"));
    }

    // --recover as a boot unit runs it: no display, another updater waited
    // for, a wrong path an error; --help needs no display either.
    void recoverAtBoot_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("lockHeldMs");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("copy"); // the backup's copy: its bytes, or a link to the right ones
        QTest::newRow("undone, no display") << "app/Pellamo.exe" << 0 << 0 << "已从备份恢复中断的更新" << "v1";
        QTest::newRow("another updater ends first") << "app/Pellamo.exe" << 2000 << 0 << "已从备份恢复中断的更新" << "v1";
        QTest::newRow("no installation there") << "nowhere/Pellamo.exe" << 0 << 1 << "找不到要恢复的安装:" << "v1";
        QTest::newRow("backup damaged, nothing put back") << "app/Pellamo.exe" << 0 << 1 << "备份文件已损坏，不恢复任何文件" << "v0";
        QTest::newRow("backup copy a link, nothing put back") << "app/Pellamo.exe" << 0 << 1 << "备份文件已损坏，不恢复任何文件" << "link";
        QTest::newRow("help") << "" << 0 << 0 << "--recover <app-path>" << "v1";
    }
    void recoverAtBoot()
    {
        QFETCH(QString, target);
        QFETCH(int, lockHeldMs);
        QFETCH(int, exitCode);
        QFETCH(QString, line);
        QFETCH(QString, copy);
        QTemporaryDir dir;
        writeTreeFile(dir.path() + "/app/Pellamo.exe", "v2");
        writeTreeFile(dir.path() + "/v1", "v1");
        QVERIFY(QDir().mkpath(dir.path() + "/app/_update_backup_x"));
        if (copy == "link")
            QVERIFY(QFile::link(dir.path() + "/v1", dir.path() + "/app/_update_backup_x/Pellamo.exe"));
        else
            writeTreeFile(dir.path() + "/app/_update_backup_x/Pellamo.exe", copy.toUtf8());
        // The copies as they reached the disk: the size and SHA-256 of "v1".
        writeTreeFile(dir.path() + "/app/_update_backup_x.journal", line.contains("损坏") ? "{\"phase\": \"unpacked\", \"files\": {\"Pellamo.exe\": {\"size\": 2, \"sha256\": \""
                                                                + QCryptographicHash::hash("v1", QCryptographicHash::Sha256).toHex() + "\"}}}" : QByteArray(R"({"phase": "unpacked"})"));
        QProcessEnvironment env = updaterEnvironment(dir.path());
        env.remove("QT_QPA_PLATFORM");
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        const QString lockDir = dir.path() + "/programdata/FarwenUpdater";
        QVERIFY(QDir().mkpath(lockDir) && QFile::setPermissions(lockDir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        QFile lock(lockDir + "/updater.lock");
        QVERIFY(lock.open(QIODevice::ReadWrite) && (lockHeldMs == 0 || flock(lock.handle(), LOCK_EX | LOCK_NB) == 0));
        std::thread release([&lock, lockHeldMs]() {
            std::this_thread::sleep_for(std::chrono::milliseconds(lockHeldMs));
            lock.close();
        });
        QElapsedTimer took;
        took.start();
        const QStringList args = target.isEmpty() ? QStringList{"--help"} : QStringList{"--recover", dir.path() + "/" + target};
        QProcess updater;
        updater.setProcessEnvironment(env);
        updater.start(updaterBinary(), args);
        QVERIFY(updater.waitForFinished(20000));
        release.join();
        const QString out = updater.readAllStandardError() + updater.readAllStandardOutput();
        QCOMPARE(updater.exitCode(), exitCode);
        QVERIFY2(out.contains(line), qPrintable(out));
        QVERIFY(took.elapsed() >= lockHeldMs);
        QCOMPARE(snapshotTree(dir.path() + "/app").value("Pellamo.exe"), QByteArray(exitCode == 0 && !target.isEmpty() ? "v1" : "v2"));
        if (copy != "v0")
            return;
        // An update over that backup ends critical at once, and its record says so to the product.
        writeTreeFile(dir.path() + "/upd.json", infoJson(dir.path() + "/app/Pellamo.exe"));
        updater.setProcessEnvironment(updaterEnvironment(dir.path()));
        updater.start(updaterBinary(), {"-i", dir.path() + "/upd.json"});
        const auto record = [&]() { return QJsonDocument::fromJson(snapshotTree(lockDir).value("last-result.json")).object(); };
        QTRY_COMPARE_WITH_TIMEOUT(record().value("outcome").toString() + " " + record().value("reason").toString(), QString("failed critical"), 15000);
        QCOMPARE(record().value("to_version").toString(), QString("2.0.1"));
        updater.kill();
        updater.waitForFinished();
    }

    // A tool whose updater died before the child armed its parent-death signal ends at once.
    void orphanedToolEnds()
    {
        const pid_t child = fork();
        if (child == 0) {
            platform::dieWithParent(getppid() + 1); // not the parent it was started by any more
            _exit(0);
        }
        int status = 0;
        QVERIFY(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 1);
    }

    // Older than 300 s goes, each pattern only in its own place, links not
    // followed; while no other updater runs, every work directory goes.
    // Partial downloads kept for a later run go after 7 days.
    void staleWorkDirectories()
    {
        const QString tmp = sandbox.path() + "/st/tmp", data = sandbox.path() + "/st/data";
        writeTreeFile(tmp + "/TeskUpdate_100/f", "x");
        writeTreeFile(tmp + "/KarvoUpdate_9/f", "x");
        writeTreeFile(data + "/KarvoUpdate_200/update.zip", "x");
        writeTreeFile(sandbox.path() + "/st/outside/precious", "x");
        QVERIFY(QFile::link(sandbox.path() + "/st/outside", data + "/KarvoUpdate_link"));
        const QString cache = data + "/FarwenUpdater/cache/";
        for (const int age : {-60, 60}) { // seconds more or less than 7 days
            QFile f(cache + QString::number(age));
            writeTreeFile(f.fileName(), "x");
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.setFileTime(QDateTime::currentDateTime().addDays(-7).addSecs(age), QFileDevice::FileModificationTime));
        }
        DownloadCache::removeExpired(data);
        QVERIFY(!QFile::exists(cache + "-60") && QFile::exists(cache + "60"));
        const QDateTime born = QFileInfo(tmp + "/TeskUpdate_100").birthTime();
        if (!born.isValid())
            QSKIP("this file system does not record creation times");
        const auto present = [&](const QString &p) { return QFileInfo::exists(p) || QFileInfo(p).isSymLink(); };
        removeStaleWorkDirs(tmp, data, born.addSecs(300));
        QVERIFY(present(tmp + "/TeskUpdate_100") && present(data + "/KarvoUpdate_200") && present(data + "/KarvoUpdate_link"));
        removeStaleWorkDirs(tmp, data, born.addSecs(310));
        QVERIFY(!present(tmp + "/TeskUpdate_100") && !present(data + "/KarvoUpdate_200") && !present(data + "/KarvoUpdate_link"));
        writeTreeFile(data + "/KarvoUpdate_300/f", "x");
        writeTreeFile(data + "/KarvoUpdate_500", "a stranger's file"); // a stranger's names are kept, empty or not
        QVERIFY(QDir().mkdir(data + "/KarvoUpdate_400") && QProcess::execute("chown", {"65534", data + "/KarvoUpdate_400", data + "/KarvoUpdate_500"}) == 0);
        removeStaleWorkDirs(tmp, data, born, true);
        QVERIFY(!present(data + "/KarvoUpdate_300") && present(tmp + "/KarvoUpdate_9"));
        QVERIFY(present(data + "/KarvoUpdate_400") && present(data + "/KarvoUpdate_500"));
        QVERIFY(QFile::exists(sandbox.path() + "/st/outside/precious"));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
