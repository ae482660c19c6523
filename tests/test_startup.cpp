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

    // What another user plants in the data root, or in a tree the updater
    // removes while a thread swaps its directories for links to a victim,
    // neither blocks an updater nor costs the victim anything.
    void hostilePlaces_data()
    {
        QTest::addColumn<QString>("plant");
        QTest::addColumn<QString>("line");
        for (const char *lock : {"link", "directory", "fifo", "held", "readable"})
            QTest::newRow(qPrintable(QStringLiteral("lock: a %1").arg(lock))) << QStringLiteral("lock %1").arg(lock) << "JSON格式不正确";
        QTest::newRow("stale work directory of another user") << "stale 65534" << "JSON格式不正确";
        QTest::newRow("stale work directory, swapped") << "stale 0" << "JSON格式不正确";
        QTest::newRow("companion, swapped") << "companion 65534" << QString();
        for (const char *requester : {"0", "abc", "65534x"}) // root, or no number: nobody asked, nothing is anyone's to remove
            QTest::newRow(qPrintable(QStringLiteral("companion, swapped, PKEXEC_UID=%1").arg(requester))) << QStringLiteral("companion %1").arg(requester) << QString();
        QTest::newRow("data root open to all") << "open" << "数据目录不安全，拒绝更新:";
        QTest::newRow("data root open through an ACL") << "acl" << "数据目录不安全，拒绝更新:";
        QTest::newRow("data root through a link") << "linked" << "数据目录不安全，拒绝更新:"; // to a sound folder, which a link can change
        QTest::newRow("committed backup, swapped") << "backup 0" << QString();
        QTest::newRow("logs blocked by a file, an earlier success") << "logs" << "无法写入运行记录"; // the record says this run failed
        QTest::newRow("two runs in one instant") << "instant" << "JSON格式不正确"; // two logs
    }
    void hostilePlaces()
    {
        QFETCH(QString, plant);
        QFETCH(QString, line);
        QTemporaryDir dir;
        QProcessEnvironment env = updaterEnvironment(dir.path());
        const QString data = dir.path() + "/programdata", victim = dir.path() + "/victim", lock = data + "/FarwenUpdater";
        QMap<QString, QByteArray> precious; // named as the files of the trees removed
        for (int i = 0; i < 20; ++i)
            writeTreeFile(victim + "/f" + QString::number(i), precious[QStringLiteral("f%1").arg(i)] = "keep");
        const uid_t owner = plant.section(' ', 1).left(5).toUInt(); // "65534x": the tree is 65534's
        if (plant == "lock link") // to a directory of root's alone, as the real one is
            QVERIFY(QFile::link(victim, lock) && QFile::setPermissions(victim, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
        if (plant == "lock fifo")
            mkfifo(QFile::encodeName(lock).constData(), 0600); // root's alone, and still no directory
        QFile held(lock + "/updater.lock");
        if (plant == "lock directory" || plant == "lock held") {
            writeTreeFile(held.fileName(), "");
            QProcess::execute("chown", {"-R", "65534", lock});
            QProcess::execute("chmod", {"-R", plant == "lock held" ? "a+rwx" : "go-rwx", lock}); // another user's, open or not
            QVERIFY(held.open(QIODevice::ReadWrite) && flock(held.handle(), LOCK_EX | LOCK_NB) == 0);
        }
        if (plant == "open" || plant == "lock readable") // the data root open to all; root's lock directory open to reading
            QVERIFY(QDir().mkpath(lock) && QFile::setPermissions(plant == "open" ? data : lock, QFileDevice::Permissions(plant == "open" ? 0x7777 : 0x7755)));
        if (plant == "linked")
            QVERIFY(QDir().rename(data, data + ".real") && QFile::link(data + ".real", data));
        if (plant == "logs") // a file where the logs go, and an earlier run's success
            writeTreeFile(lock + "/logs", ""), writeTreeFile(lock + "/last-result.json", R"({"outcome": "success"})"), QFile::setPermissions(lock, QFileDevice::Permissions(0x7000));
        if (plant == "acl")
            QCOMPARE(QProcess::execute("setfacl", {"-m", "u:nobody:rwx", data}), 0);
        const QString tree = plant.startsWith("stale") ? data + "/KarvoUpdate_1"
                             : plant.startsWith("backup") ? dir.path() + "/app/_update_backup_1" : dir.path() + "/upd";
        const bool swapped = plant.startsWith("stale") || plant.startsWith("companion") || plant.startsWith("backup");
        for (int i = 0; i < 2000 && swapped; ++i)
            writeTreeFile(QStringLiteral("%1/%2/f%3").arg(tree).arg(i / 20).arg(i % 20), "x");
        if (swapped) { // a directory when looked at, a link when opened: every time, not by winning a race
            QProcess::execute("chown", {"-R", QString::number(owner), tree});
            env.insert("LD_PRELOAD", FARWEN_SWAP_SHIM);
            env.insert("FARWEN_SWAP_DIR", tree + "/0");
            env.insert("FARWEN_SWAP_TO", victim);
        }
        if (plant.startsWith("backup")) // an apply committed, its backup not yet removed
            writeTreeFile(tree + ".journal", R"({"phase": "committed"})");
        if (plant.startsWith("companion") || plant.startsWith("backup")) { // removed 2 s after the start, as the user who asked
            writeTreeFile(dir.path() + "/app/Pellamo.exe", "main");
            writeTreeFile(dir.path() + "/upd.json", infoJson(dir.path() + "/app/Pellamo.exe"));
            env.insert("PKEXEC_UID", plant.section(' ', 1));
            QProcess updater;
            updater.setProcessEnvironment(env);
            updater.start(updaterBinary(), {"-i", dir.path() + "/upd.json"});
            QTest::qWait(3500);
            updater.terminate();
            QVERIFY(updater.waitForFinished(5000));
        } else {
            writeTreeFile(dir.path() + "/info.json", "[1]");
            QString err;
            for (int run = 0; run < (plant == "instant" ? 2 : 1); ++run) // with the clock stopped
                QCOMPARE(runToEnd(plant == "instant" ? "faketime" : updaterBinary(), (plant == "instant" ? QStringList{"-f", "2026-01-01 00:00:00", updaterBinary()} : QStringList()) + QStringList{"-i", "info.json"}, dir.path(), env, &err), 1);
            QVERIFY2(err.contains(line), qPrintable(err));
        }
        if (plant == "logs" || plant == "instant") // a log each, or none; this run's record all the same
            QVERIFY(QDir(lock + "/logs").entryList({"update-*"}).size() == (plant == "logs" ? 0 : 2)
                    && QJsonDocument::fromJson(snapshotTree(lock).value("last-result.json")).object().value("outcome") == "incomplete");
        QCOMPARE(snapshotTree(victim), precious);
        const bool kept = plant == "stale 65534" || (plant.startsWith("companion") && plant != "companion 65534"); // not the updater's to delete
        QCOMPARE(QFileInfo::exists(victim + ".swapped"), swapped && !kept); // where the updater removes
        if (kept)
            QVERIFY(QFileInfo::exists(tree + "/0x/f0") || QFileInfo::exists(tree + "/0/f0"));
        const QFileInfo taken(lock);
        if (plant.startsWith("lock")) // a directory of root's alone, never the one planted
            QVERIFY(taken.isDir() && !taken.isSymLink() && taken.ownerId() == 0 && (taken.permissions() & 0x0077) == 0);
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
