// The engine's steps on real files, real archives and a server on 127.0.0.1.
#include "startup/update_info.h"
#include "download/signature.h"
#include "download/versions.h"
#include "support/http_server.h"
#include "support/testable_engine.h"
#include "support/tree_snapshot.h"

#include <QtTest>
#include <sys/stat.h>

Q_DECLARE_METATYPE(HttpRoute)

namespace {

// The pauses before each try of a broken transfer, as the log says them.
QStringList retryPauses;
QtMessageHandler testLog = nullptr;
void keepPauses(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QRegularExpressionMatch pause = QRegularExpression("(\\d+) 毫秒后第").match(message);
    if (pause.hasMatch())
        retryPauses << pause.captured(1);
    testLog(type, context, message);
}

// While one lives, retryPauses collects the pauses anew.
struct PauseLog
{
    PauseLog() { retryPauses.clear(), testLog = qInstallMessageHandler(keepPauses); }
    ~PauseLog() { qInstallMessageHandler(testLog); }
};

// The download's signals in order, as "kind:text".
struct Events : QStringList
{
    explicit Events(UpdateEngine &engine)
    {
        QObject::connect(&engine, &UpdateEngine::progressChanged,
                         [this](int p, const QString &m) { *this << QStringLiteral("progress:%1:%2").arg(p).arg(m); });
        QObject::connect(&engine, &UpdateEngine::readyToInstall, [this]() { *this << "ready"; });
        QObject::connect(&engine, &UpdateEngine::errorOccurred, [this](const QString &e) { *this << "error:" + e; });
        QObject::connect(&engine, &UpdateEngine::statusChanged, [this](const QString &s) { *this << "status:" + s; });
    }
    QStringList finals() const { return filter(QRegularExpression("^(ready|error:)")); }
    QString outcome() const { return finals().value(0); }
};

} // namespace

class TestEngineSteps : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    HttpServer server;
    QString app;

    // A small installation with a hidden file, a nested directory and
    // config.ini, in a directory whose name a shell or a script could misread.
    void install(TestableEngine &engine)
    {
        // (Windows allows no * or ? in names.)
        app = root.path() + "/Karvo's \u2018new\u2019 \u201Aold\u201B '' [a]" + (posix() ? "*?" : "") + " $(calc) `x/Prod";
        QDir(app).removeRecursively();
        writeTreeFile(app + "/Pellamo.exe", "main v1");
        writeTreeFile(app + "/config.ini", "[App]\nVersion=1.0\n");
        for (int i = 0; i < 23; ++i)
            writeTreeFile(app + QStringLiteral("/data/deep/x%1.dat").arg(i), QByteArray::number(i));
        writeTreeFile(app + "/.settings", "hidden");
        engine.setTimings(TestableEngine::fast());
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", server.url("/p.zip"));
    }

    // body's minisign signature by the real minisign; keys a and b are
    // installed (publisherKeys), c is unknown.
    QByteArray minisign(const QString &key, const QByteArray &body, const QString &comment, const QStringList &more = {})
    {
        if (!posix())
            return "-";
        const QString dir = root.path() + "/keys/";
        if (QDir().mkpath(dir) && !QFile::exists(dir + "c.key"))
            for (const QString k : {"a", "b", "c"})
                QProcess::execute("minisign", {"-G", "-W", "-p", dir + k + ".pub", "-s", dir + k + ".key"});
        writeTreeFile(dir + "p.zip", body);
        QProcess::execute("minisign", QStringList{"-S", "-s", dir + key + ".key", "-m", dir + "p.zip", "-t", comment, "-x", dir + "p.sig"} + more);
        return snapshotTree(dir).value("p.sig");
    }
    QByteArray publisherKeys()
    {
        const auto keys = snapshotTree(root.path() + "/keys");
        return "# publisher keys\n" + keys.value("a.pub") + "\n" + keys.value("b.pub");
    }

private slots:
    void initTestCase()
    {
        qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8());
    }

    // Only a sound package reaches readyToInstall; nothing else is touched.
    void download_data()
    {
        QTest::addColumn<HttpRoute>("route");
        QTest::addColumn<QString>("sha256");
        QTest::addColumn<QString>("result");
        // With keys installed: the .minisig served beside it ("404": none), or "given:" in the info file.
        QTest::addColumn<QByteArray>("signature");
        QTest::addColumn<QString>("installed");
        const auto add = [](const char *name, const HttpRoute &r, const QString &sha, const QString &result,
                            const QByteArray &signature = QByteArray(), const QString &installed = "1.0") {
            QTest::newRow(name) << r << sha << result << signature << installed;
        };
        const QByteArray good = zipOf({{"Pellamo.exe", HttpServer::pattern(300000)}, {"lib/a.dll", "a v2"}});
        const QString goodSha = QCryptographicHash::hash(good, QCryptographicHash::Sha256).toHex();
        const auto route = [](const QByteArray &body, bool length = true) { return HttpRoute(200, body, length); };
        QByteArray corrupt = good;
        corrupt[corrupt.indexOf("a v2") + 2] = 'X';
        HttpRoute missing(404), stalled(200, good), redirect(302);
        stalled.dripBytes = 1;
        stalled.dripIntervalMs = 60000;
        redirect.location = server.url("/ok.zip").toUtf8();
        server.route("/ok.zip", route(good));
        const QString integrity = "error:文件完整性校验失败", network = "error:下载失败: ";
        add("sound", route(good), "", "ready");
        const auto sized = [](int size) { return zipOf({{"Pellamo.exe", QByteArray(size - zipOf({{"Pellamo.exe", ""}}).size(), 'p')}}); };
        add("1024 bytes, too small to be one", route(sized(1024)), "", integrity);
        add("1025 bytes", route(sized(1025)), "", "ready");
        add("no length, sha256 right", route(good, false), goodSha.toUpper(), "ready");
        add("redirect", redirect, "", "ready");
        add("sha256 wrong", route(good), QString(64, 'a'), integrity);
        add("not a zip", route(HttpServer::pattern(300000)), "", integrity);
        add("crc corrupt", route(corrupt), "", integrity);
        add("cut at 60 %, no length", route(good.left(good.size() * 6 / 10), false), "", integrity);
        add("wrapped", route(zipOf({{"Pellamo-2.0.0/Pellamo.exe", good}})), "", integrity);
        add("no main program: a library alone", route(zipOf({{"lib/a.dll", HttpServer::pattern(3000)}})), "", "ready");
        // Beside a sound main program; made on Unix, where a backslash is no separator to the reader.
        const auto besideMain = [&](const QString &name) { return route(zipOf({{"Pellamo.exe", good}, {name, "x"}}, true)); };
        add("climbs out", besideMain("../evil.dll"), "", integrity);
        add("climbs out further in", besideMain("lib/../../evil.dll"), "", integrity);
        add("climbs out after a backslash", besideMain("lib/a\\..\\..\\..\\evil.dll"), "", integrity);
        add("absolute", besideMain("/tmp/evil.dll"), "", integrity);
        add("drive letter", besideMain("C:/evil.dll"), "", integrity);
        add("404", missing, "", network);
        add("stalled", stalled, "", network);
        add("https, self-signed", route(good), "", network + "SSL handshake failed"); // not tried again, the problem named
        add("proxy down", route(good), "", network + "代理服务器 127.0.0.1:");
        const QByteArray ed = minisign("a", good, "version=2.1.0 build=7");
        const QByteArray other = zipOf({{"Pellamo.exe", HttpServer::pattern(300001)}});
        add("signed, prehashed", route(good), "", "ready", ed);
        add("signed, whole file", route(good), "", "ready", minisign("a", good, "version=2.1.0", {"-l"}));
        add("signed with the second key", route(good), "", "ready", minisign("b", good, "version=2.1.0"), "2.1.0");
        add("signed with an unknown key", route(good), "", integrity, minisign("c", good, "version=2.1.0"));
        add("signature of another package", route(other), "", integrity, ed);
        add("trusted comment edited", route(good), "", integrity, QByteArray(ed).replace("build=7", "build=8"));
        add("signed for another version", route(good), "", integrity, minisign("a", good, "version=2.1.00"));
        add("signed for a shorter version", route(good), "", integrity, minisign("a", good, "version=2.1"));
        add("signed without a version", route(good), "", integrity, minisign("a", good, "build=7"));
        add("signed, but a downgrade", route(good), "", integrity, ed, "2.10");
        add("no signature", route(good), "", integrity, "404");
        add("garbage signature", route(good), "", integrity, "untrusted comment: x\nRWQ=\n");
        add("signature in the info file", route(good), "", "ready", "given:" + ed);
        add("signature with CRLF line ends", route(good), "", "ready", QByteArray(ed).replace("\n", "\r\n"));
        add("trailing blank in the trusted comment", route(good), "", "ready", minisign("a", good, "version=2.1.0 "));
        add("installed version unreadable", route(good), "", integrity, ed, "2.1-x!");
        add("installed version unknown", route(good), "", "ready", ed, "");
    }
    void download()
    {
        QFETCH(HttpRoute, route);
        QFETCH(QString, sha256);
        QFETCH(QString, result);
        QFETCH(QByteArray, signature);
        QFETCH(QString, installed);
        POSIX_ONLY(!signature.isEmpty() || QString(QTest::currentDataTag()).contains(QRegularExpression("https|proxy")), "minisign, openssl, or a proxy named as on Linux");
        const QString path = "/" + QString(QTest::currentDataTag()).replace(QRegularExpression("\\W"), "_");
        server.route(path, route);
        server.route(path + ".minisig", signature == "404" || signature.startsWith("given:") ? HttpRoute(404) : HttpRoute(200, signature));
        TestableEngine engine;
        install(engine);
        writeTreeFile(engine.configPath, "[App]\nVersion=" + installed.toUtf8() + "\n");
        const auto before = snapshotTree(app);
        EngineTimings t = TestableEngine::fast();
        t.transferTimeout = 1000;
        t.retries = 1;
        engine.setTimings(t);
        engine.setExpectedSha256(sha256);
        const QString tag = QTest::currentDataTag();
        QString url = server.url(path).replace("http:", tag.startsWith("https") ? "https:" : "http:");
        QProcess tls;
        if (tag == "proxy down" || tag.startsWith("https")) { // a port nobody listens on, or openssl's server
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost);
            qputenv("http_proxy", "http://127.0.0.1:" + QByteArray::number(probe.serverPort()));
            url = tag == "proxy down" ? url.replace("127.0.0.1", "0.0.0.0") : "https://127.0.0.1:" + QString::number(probe.serverPort()) + path;
        }
        if (tag.startsWith("https")) {
            QCOMPARE(QProcess::execute("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout",
                                                   root.path() + "/tls.key", "-out", root.path() + "/tls.crt"}), 0);
            tls.start("openssl", {"s_server", "-quiet", "-accept", url.section(':', 2, 2).section('/', 0, 0), "-cert", root.path() + "/tls.crt",
                                  "-key", root.path() + "/tls.key"});
            QVERIFY(tls.waitForStarted() && HttpServer::listening(url.section(':', 2, 2).section('/', 0, 0).toUShort()));
        }
        const auto noProxy = qScopeGuard([&tls] { qunsetenv("http_proxy"); tls.kill(); tls.waitForFinished(); });
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", url);
        if (!signature.isEmpty())
            engine.setSignatureInputs(publisherKeys(), signature.startsWith("given:") ? signature.mid(6) : "");
        Events log(engine);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!log.outcome().isEmpty(), 5000);
        QVERIFY2(log.outcome().startsWith(result), qPrintable(log.join('\n')));
        QVERIFY(!tag.startsWith("https") || (!log.join(' ').contains("retrying") && log.outcome().contains("The certificate is self-signed")));
        if (tag == "sha256 wrong") { // Retry fetches and checks it again, from a package file closed in between
            log.clear();
            engine.startDownload();
            QTRY_COMPARE_WITH_TIMEOUT(log.outcome(), result, 5000);
        }
        QCOMPARE(engine.isRunning.load(), result == "ready");
        if (!signature.isEmpty() && result == "ready") // fetched only when not given
            QCOMPARE(server.requestCount(path + ".minisig"), signature.startsWith("given:") ? 0 : 1);
        if (result == "ready")
            QCOMPARE(log.mid(log.size() - 2), (QStringList{"progress:70:Download finished", "ready"}));
        QTest::qWait(50);
        QCOMPARE(log.finals().size(), 1);
        QCOMPARE(snapshotTree(app), before);
        engine.cancel();
    }

    // A key file beside the updater that is not one or two minisign public
    // keys refuses the start, rather than checking nothing.
    void malformedKeyFile()
    {
        POSIX_ONLY(true, "minisign's keys, modes, access lists and links");
        minisign("a", "x", "version=1"); // makes the keys
        const auto keys = snapshotTree(root.path() + "/keys");
        QByteArray read;
        for (const QByteArray &bad : {publisherKeys() + keys.value("c.pub"), keys.value("a.pub") + "RWQ=\n", QByteArray("# none\n"), keys.value("a.key")}) {
            writeTreeFile(root.path() + "/upd/update-keys.pub", bad);
            QVERIFY2(!readPublisherKeys(root.path() + "/upd", &read), bad.constData());
        }
        // Good keys that someone else could change: by mode, by ACL, a link.
        const QString file = root.path() + "/upd/update-keys.pub";
        writeTreeFile(file, "\xEF\xBB\xBF" + publisherKeys()); // a BOM is fine
        QVERIFY(readPublisherKeys(root.path() + "/upd", &read));
        for (const QStringList &change : {QStringList{"chmod", "0666", file}, {"setfacl", "-m", "u:nobody:rw", file},
                                          {"setfacl", "-m", "g:nogroup:rwx", root.path() + "/upd"}, {"chown", "65534", file}}) {
            QCOMPARE(QProcess::execute(change.first(), change.mid(1)), 0);
            QVERIFY2(!readPublisherKeys(root.path() + "/upd", &read), qPrintable(change.join(' ')));
            QProcess::execute("setfacl", {"-b", file, root.path() + "/upd"});
            QProcess::execute("chmod", {"0644", file});
            QProcess::execute("chown", {"0", file});
        }
        QCOMPARE(QProcess::execute("setfacl", {"-m", "u:nobody:r", file}), 0); // reading is no harm
        QVERIFY(readPublisherKeys(root.path() + "/upd", &read));
        QFile::rename(file, file + ".real");
        QFile::link(file + ".real", file);
        QVERIFY(!readPublisherKeys(root.path() + "/upd", &read));
        QVERIFY(QFile::remove(file + ".real") && !QFileInfo::exists(file)); // a link to nothing is not "no keys"
        QVERIFY(!readPublisherKeys(root.path() + "/upd", &read));
    }

    // Versions as people write them; with keys, an unreadable installed one refuses.
    void versions_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("10 over 9") << "10.0" << "9.9.9" << 1;
        QTest::newRow("a fourth part") << "2.1.0.1" << "2.1.0" << 1;
        QTest::newRow("missing part is 0") << "2.1" << "2.1.0" << 0;
        QTest::newRow("leading v") << "v2.0.0" << "2.0" << 0;
        QTest::newRow("20 digits") << "1.18446744073709551617" << "1.18446744073709551616" << 1;
        QTest::newRow("leading zeros") << "1.007" << "1.7" << 0;
        QTest::newRow("beta before release") << "2.1-beta" << "2.1" << -1;
        QTest::newRow("beta over older release") << "2.1-beta" << "2.0" << 1;
        QTest::newRow("rc.2 over rc.1") << "3.0-rc.2" << "3.0-rc.1" << 1;
        QTest::newRow("rc.10 over rc.9") << "3.0-rc.10" << "3.0-rc.9" << 1;
        QTest::newRow("numbers before words") << "3.0-1" << "3.0-alpha" << -1;
        QTest::newRow("shorter first") << "3.0-rc" << "3.0-rc.1" << -1;
        QTest::newRow("build metadata does not order") << "2.0.0+build.9" << "v2.0.0+build.10" << 0;
        QTest::newRow("unreadable") << "2.x" << "" << 9;
        QTest::newRow("unreadable pre-release") << "2.0-" << "" << 9;
    }
    void versions()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(readableVersion(a), order != 9);
        if (order != 9) {
            QCOMPARE(compareVersions(a, b), order);
            QCOMPARE(compareVersions(b, a), -order);
        }
    }

    // A broken transfer goes on with a byte range when the server named an
    // ETag; without one, or when the file changed, it starts over. Counted:
    // the bytes the server sent in all, in package sizes.
    void resume_data()
    {
        QTest::addColumn<HttpRoute>("route");
        QTest::addColumn<bool>("nextRun"); // the first run gives up at the cut, the next one goes on
        QTest::addColumn<int>("named"); // the SHA-256 named: none, the package's, another build's at the next run
        QTest::addColumn<bool>("viaProxy");
        QTest::addColumn<QString>("first"); // how the first try ends
        QTest::addColumn<double>("served");
        const QByteArray good = zipOf({{"Pellamo.exe", HttpServer::pattern(400000)}});
        HttpRoute cut(200, good);
        cut.etag = "\"v1\"";
        cut.cuts = 1;
        cut.cutAfter = good.size() / 2;
        cut.compresses = true; // as servers set to compress everything do
        HttpRoute bare = cut, changed = cut, often = cut, elsewhere = cut, whole = cut, shortened = cut;
        shortened.shortRange = 1000; // complete as far as the network layer can tell
        elsewhere.rangeShift = -100; // a 206 of other bytes than asked
        whole.ignoresRange = true;
        bare.etag.clear();
        changed.changedBody = zipOf({{"Pellamo.exe", HttpServer::pattern(400001)}});
        often.cuts = 6;
        often.cutAfter = good.size() / 10;
        const QString ready = "ready", failed = "error:下载失败: ";
        QTest::newRow("cut at 50 %") << cut << false << 0 << false << ready << 1.0;
        QTest::newRow("cut, no validator") << bare << false << 0 << false << ready << 1.5;
        QTest::newRow("changed between tries") << changed << false << 0 << false << ready << 1.5;
        QTest::newRow("six cuts, then Retry") << often << false << 0 << false << failed << 1.0;
        QTest::newRow("cut, next run") << cut << true << 0 << false << failed << 1.0;
        QTest::newRow("cut, next run, sha256 named") << cut << true << 1 << false << failed << 1.0;
        QTest::newRow("cut, next run for another build") << changed << true << 2 << false << failed << 1.5; // never resumed
        QTest::newRow("resumed elsewhere") << elsewhere << false << 0 << false << ready << 2.0;
        QTest::newRow("resume answered whole") << whole << false << 1 << false << ready << 1.5;
        QTest::newRow("resume answered short") << shortened << false << 0 << false << ready << 1.0;
        QTest::newRow("through a proxy") << cut << false << 0 << true << ready << 1.0;
    }
    void resume()
    {
        QFETCH(HttpRoute, route);
        QFETCH(bool, nextRun);
        QFETCH(int, named);
        QFETCH(bool, viaProxy);
        QFETCH(QString, first);
        QFETCH(double, served);
        const bool signedRun = nextRun && !named; // the prehash must take in what the first run left too
        POSIX_ONLY(viaProxy || signedRun, "tinyproxy, or minisign");
        const QString path = "/resume-" + QString::number(qHash(QString(QTest::currentDataTag())));
        const PauseLog pauses;
        server.route(path, route);
        QProcess proxy;
        if (viaProxy) { // tinyproxy on a free port, named as the system's proxy
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost);
            const QString port = QString::number(probe.serverPort()), conf = root.path() + "/tinyproxy.conf";
            probe.close();
            writeTreeFile(conf, ("Port " + port + "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\n").toUtf8());
            proxy.start("tinyproxy", {"-d", "-c", conf});
            QVERIFY(proxy.waitForStarted() && HttpServer::listening(port.toUShort()));
            qputenv("http_proxy", ("http://127.0.0.1:" + port).toUtf8());
        }
        const auto stopProxy = qScopeGuard([&proxy]() {
            qunsetenv("http_proxy");
            proxy.kill();
            proxy.waitForFinished();
        });
        const QByteArray sig = signedRun ? minisign("a", route.body, "version=2.1.0") : QByteArray();
        const auto shaOf = [](const QByteArray &b) { return QString(QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex()); };
        QStringList outcomes;
        for (int run = 0; run < 2 && (outcomes.isEmpty() || outcomes.last() != "ready"); ++run) {
            TestableEngine engine; // a second run, or Retry in the same one
            install(engine);
            EngineTimings t = TestableEngine::fast();
            t.retries = nextRun && run == 0 ? 0 : 5;
            engine.setTimings(t);
            // Qt never proxies a loopback address; 0.0.0.0 reaches the same server on Linux and is none.
            engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", server.url(path).replace("127.0.0.1", proxy.processId() ? "0.0.0.0" : "127.0.0.1"));
            if (!sig.isEmpty())
                engine.setSignatureInputs(publisherKeys(), sig);
            engine.setExpectedSha256(!named ? QString() : shaOf(run && named == 2 ? route.changedBody : route.body));
            Events log(engine);
            for (int retry = 0; retry < 2 && (log.outcome().isEmpty() || (retry == 1 && !nextRun && first != "ready")); ++retry) {
                log.clear();
                engine.startDownload();
                QTRY_VERIFY_WITH_TIMEOUT(!log.outcome().isEmpty(), 10000);
                outcomes << log.outcome();
                if (run == 0 && retry == 0 && t.retries) // the first cut is said, not only logged
                    QVERIFY2(log.contains("status:Connection lost, retrying (1/5)..."), qPrintable(log.join(' ')));
            }
            QList<int> percents;
            for (const QString &e : log.filter(":Download: "))
                percents << e.section(':', 1, 1).toInt();
            if (served == 1.0) // a resumed transfer goes on from where it was, its percents shown
                QVERIFY2(!percents.isEmpty() && std::is_sorted(percents.begin(), percents.end()), qPrintable(log.join(' ')));
            engine.cancel();
        }
        QCOMPARE(outcomes.last(), QStringLiteral("ready"));
        QVERIFY2(outcomes.first().startsWith(first), qPrintable(outcomes.join(' ')));
        const double sent = double(server.bytesServed(path)) / route.body.size();
        QVERIFY2(qAbs(sent - served) < 0.01, qPrintable(QString::number(sent)));
        QCOMPARE(server.viaProxy(path), viaProxy);
        if (route.cuts == 6) // doubled each time, from the pause the timings name
            QCOMPARE(retryPauses, QStringList({"10", "20", "40", "80", "160"}));
        QCOMPARE(server.rangeAsked(path), !QByteArray(QTest::currentDataTag()).contains("no validator") && named != 2);
    }

    // 503 and 429 ask to wait: waited for within what the retries left would wait in all
    // (100 ms doubled, 3.1 s for five), with no progress from the error page; longer fails at once.
    void serverAsksToWait_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<int>("busy"); // answers before the package
        QTest::addColumn<QList<int>>("pause"); // the first one logged at least, at most, and how many in all
        QTest::newRow("429, a date 3 s on") << 429 << QByteArray("date+3") << 1 << QList<int>{1000, 3000, 1}; // dated as it starts
        QTest::newRow("503, 1 s") << 503 << QByteArray("1") << 1 << QList<int>{1000, 1000, 1};
        QTest::newRow("429, a date gone") << 429 << QByteArray("date-60") << 1 << QList<int>{100, 100, 1};
        QTest::newRow("503, not said") << 503 << QByteArray() << 1 << QList<int>{100, 100, 1};
        QTest::newRow("503, beyond the budget") << 503 << QByteArray("10") << 1 << QList<int>{0, 0, 0};
        QTest::newRow("503 to every try") << 503 << QByteArray("0") << 9 << QList<int>{100, 100, 5};
    }
    void serverAsksToWait()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, retryAfter);
        QFETCH(int, busy);
        QFETCH(QList<int>, pause);
        const PauseLog pauses;
        TestableEngine engine;
        install(engine);
        HttpRoute route(200, zipOf({{"Pellamo.exe", HttpServer::pattern(400000)}}));
        if (retryAfter.startsWith("date")) // whole seconds: up to one less than it says
            retryAfter = QLocale::c().toString(QDateTime::currentDateTimeUtc().addSecs(retryAfter.mid(4).toInt()), "ddd, dd MMM yyyy hh:mm:ss 'GMT'").toLatin1();
        route.busy = busy, route.busyStatus = status, route.retryAfter = retryAfter;
        const QString path = "/busy-" + QString::number(qHash(QString(QTest::currentDataTag())));
        server.route(path, route);
        EngineTimings t = TestableEngine::fast();
        t.retryPause = 100;
        engine.setTimings(t);
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", server.url(path));
        Events log(engine);
        engine.startDownload();
        QTRY_VERIFY_WITH_TIMEOUT(!log.outcome().isEmpty(), 10000);
        const bool ready = busy <= pause[2];
        QVERIFY2(ready ? log.outcome() == "ready" : log.outcome().startsWith("error:下载失败: ") && log.outcome().endsWith("(服务器要求 10 秒后再试，超出重试时间)") == (retryAfter == "10"),
                 qPrintable(log.join('\n')));
        QVERIFY2(retryPauses.size() == pause[2] && (!pause[2] || (retryPauses[0].toInt() >= pause[0] && retryPauses[0].toInt() <= pause[1])), qPrintable(retryPauses.join(' ')));
        QCOMPARE(log.contains("status:Connection lost, retrying (1/5)..."), pause[2] > 0);
        QVERIFY2(ready || log.filter(":Download: ").isEmpty(), qPrintable(log.join(' '))); // the package's percents, never the page's
        QCOMPARE(server.requestCount(path), pause[2] + 1);
    }

    // Twice the space the installation takes on disk (whole blocks, hidden
    // files too, the backup left out) must be free.
    void diskSpace_data()
    {
        QTest::addColumn<qint64>("missing");
        QTest::newRow("one byte short") << qint64(1);
        QTest::newRow("exactly twice") << qint64(0);
    }
    void diskSpace()
    {
        QFETCH(qint64, missing);
        POSIX_ONLY(true, "find counts the blocks");
        TestableEngine engine;
        install(engine);
        const HttpRoute package(200, zipOf({{"Pellamo.exe", HttpServer::pattern(20000)}}));
        server.route("/space.zip", package);
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", server.url("/space.zip"));
        writeTreeFile(engine.backupDir + "/Pellamo.exe", QByteArray(100000, 'b'));
        writeTreeFile(app + "/sparse.dat", "");
        QVERIFY(QFile::resize(app + "/sparse.dat", qint64(1) << 40)); // a large size, hardly any blocks
        QProcess find;
        find.start("find", {app, "-path", "*/_update_backup_*", "-prune", "-o", "-type", "f", "-printf", "%b\n"});
        QVERIFY(find.waitForFinished());
        qint64 allocated = 0;
        for (const QByteArray &blocks : find.readAllStandardOutput().split('\n'))
            allocated += blocks.toLongLong() * 512;
        QVERIFY(allocated > 25 * 512 && allocated < 1000000);
        Events log(engine);
        // Then the work directory's volume must hold the announced package.
        for (const bool workDirShort : {false, true}) {
            engine.availableBytes = [&](const QString &p) {
                if (p == app)
                    return workDirShort ? qint64(1) << 40 : 2 * allocated - missing;
                return workDirShort ? package.body.size() - missing : qint64(1) << 40;
            };
            log.clear();
            engine.startDownload();
            QTRY_COMPARE(log.outcome(), missing == 0 ? QStringLiteral("ready") : QStringLiteral("error:磁盘空间不足，无法完成更新"));
            engine.cancel();
        }
    }

    // Unpacked in-process from the file that was checked: ordinary modes and
    // the elevated user's ownership whatever the package says, executables
    // kept executable, the installation directory's own mode kept.
    void extraction_data()
    {
        QTest::addColumn<QString>("package");
        QTest::newRow("made on windows") << "windows";
        QTest::newRow("hostile modes and owners") << "hostile";
        QTest::newRow("swapped after the check") << "swapped";
        QTest::newRow("a file where a directory is") << "conflict";
    }
    void extraction()
    {
        QFETCH(QString, package);
        TestableEngine engine;
        install(engine);
        writeTreeFile(app + "/tool.exe", "t1");
        QFile::setPermissions(app + "/tool.exe", QFileDevice::Permissions(0x7755));
        const QMap<QString, QByteArray> files{{"Pellamo.exe", "main v2"}, {"data/deep/x1.dat", "new 1"},
                                                      {"tool.exe", "t2"}, {"KarvoDeskServer/KarvoDeskDaemon.exe", "d2"}};
        struct stat st{}; // (stat, not lstat: MinGW has none; the mode is checked on Linux alone)
        stat(QFile::encodeName(app).constData(), &st);
        const auto appMode = st.st_mode;
        POSIX_ONLY(package == "hostile" || package == "swapped", "modes, owners, or a file replaced while open");
        if (package == "hostile") { // setuid, 0777 directories, a "./" entry, a stranger's uid
            const QString stage = root.path() + "/stage";
            for (auto f = files.begin(); f != files.end(); ++f)
                writeTreeFile(stage + "/" + f.key(), f.value());
            QCOMPARE(QProcess::execute("sh", {"-c", "cd \"$0\" && chmod 0777 . data data/deep KarvoDeskServer && chmod 04755 Pellamo.exe "
                                                    "&& chmod 06666 data/deep/x1.dat", stage}), 0);
            QCOMPARE(QProcess::execute("/usr/bin/bsdtar", {"--format=zip", "--uid", "65534", "--gid", "65534", "-cf",
                                                           engine.zipPath, "-C", stage, "."}), 0);
        } else {
            writeTreeFile(engine.zipPath, zipOf(package == "conflict" ? QMap<QString, QByteArray>{{"Pellamo.exe", "main v2"}, {"data", "x"}} : files));
        }
        if (package == "swapped") { // what is unpacked is what was checked
            QVERIFY(engine.package.open(engine.zipPath));
            QString reason;
            QVERIFY(engine.package.check("Pellamo.exe", &reason));
            writeTreeFile(engine.zipPath + ".new", zipOf({{"Pellamo.exe", "evil"}}));
            QVERIFY(::rename(QFile::encodeName(engine.zipPath + ".new"), QFile::encodeName(engine.zipPath)) == 0);
        }
        QSignalSpy progress(&engine, &UpdateEngine::installProgress);
        QCOMPARE(engine.extractPackage(), package != "conflict");
        QCOMPARE(progressOf(progress), kExtractingSteps);
        const auto tree = snapshotTree(app);
        QCOMPARE(tree.value("Pellamo.exe"), QByteArray("main v2"));
        QVERIFY(tree.keys().filter("farwen-new").isEmpty());
        if (package == "conflict")
            return;
        QCOMPARE(tree.value("data/deep/x1.dat"), QByteArray("new 1"));
        engine.cancel();
        POSIX_ONLY(true, "modes and owners");
        QDirIterator it(app, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QByteArray path = QFile::encodeName(it.next());
            QVERIFY(stat(path.constData(), &st) == 0 && st.st_uid == 0 && st.st_gid == 0);
            QVERIFY2(!(st.st_mode & 07022), path.constData());
            QVERIFY2(bool(st.st_mode & S_IXUSR) == path.endsWith(".exe") || S_ISDIR(st.st_mode), path.constData());
        }
        QVERIFY(stat(QFile::encodeName(app).constData(), &st) == 0 && st.st_mode == appMode);
    }

    // config.ini edited as text: the five keys change, every other byte stays.
    void configFile_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected"); // T stands for the update time
        QTest::newRow("utf-8 with bom, crlf, windows text")
            << QByteArray("\xEF\xBB\xBF; settings\r\n[App]\r\nPath=C:\\Program Files\\Karvo\r\nVersion = 1.9\r\nNote=a;b\r\n"
                          "\r\n[Display Options]\r\nName=\xE4\xB8\xAD\xE6\x96\x87\r\n[update]\r\nlastchecktime=2\r\n\r\n")
            << QByteArray("\xEF\xBB\xBF; settings\r\n[App]\r\nPath=C:\\Program Files\\Karvo\r\nVersion =2.1.0\r\nNote=a;b\r\n"
                          "\r\n[Display Options]\r\nName=\xE4\xB8\xAD\xE6\x96\x87\r\n[update]\r\nLastUpdateTime=T\r\n"
                          "LastUpdateVersion=2.1.0\r\n\r\n");
        QTest::newRow("ansi, first section wins, no end of line")
            << QByteArray("[APP]\nversion=1.0\nName=\xD6\xD0\n[App]\nVersion=0\n[Update]\nLastPromptTime=1")
            << QByteArray("[APP]\nversion=2.1.0\nName=\xD6\xD0\n[App]\nVersion=0\n[Update]\nLastUpdateTime=T\n"
                          "LastUpdateVersion=2.1.0\n");
        const auto utf16 = [](const QString &text, const char *bom = "\xFF\xFE", bool be = false) {
            QByteArray out = bom;
            for (const QChar c : text)
                out.append(char(be ? c.unicode() >> 8 : c.unicode() & 0xFF)).append(char(be ? c.unicode() & 0xFF : c.unicode() >> 8));
            return out;
        };
        const QString in16 = QStringLiteral("[App]\r\nVersion=1\r\n名称=中文\r\n"),
                      out16 = QStringLiteral("[App]\r\nVersion=2.1.0\r\n名称=中文\r\n[Update]\r\nLastUpdateTime=T\r\nLastUpdateVersion=2.1.0\r\n");
        QTest::newRow("utf-16le") << utf16(in16) << utf16(out16);
        QTest::newRow("utf-16be") << utf16(in16, "\xFE\xFF", true) << utf16(out16, "\xFE\xFF", true);
        QTest::newRow("utf-16le without bom") << utf16(in16, "") << utf16(out16, "");
        // Not certain: left byte for byte, a failed step.
        QTest::newRow("utf-16 of odd length") << utf16(in16) + 'x' << QByteArray();
        QTest::newRow("ansi with a stray nul") << QByteArray("[App]\nVersion=1\nName=a\0b\nServer=x\n", 32) << QByteArray();
    }
    void configFile()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);
        TestableEngine engine;
        install(engine);
        writeTreeFile(engine.configPath, input);
        QCOMPARE(engine.updateConfigFile(), !expected.isEmpty());
        QByteArray out = readTreeFile(engine.configPath);
        if (expected.isEmpty()) {
            QCOMPARE(out, input);
            return;
        }
        // The update time, wherever it sits in either UTF-16 order, becomes T.
        const QByteArray stamp = QDateTime::currentDateTime().toString("yyyy-MM-dd").toLatin1();
        const int unit = out.contains('\0') ? 2 : 1, be = out.startsWith("\xFE\xFF") ? 1 : 0;
        QByteArray wide;
        for (const char c : stamp)
            wide += unit == 1 ? QByteArray(1, c) : be ? QByteArray(1, '\0') + c : QByteArray(1, c) + '\0';
        const int at = out.indexOf(wide);
        QVERIFY(at > 0);
        out.replace(at + be, 19 * unit, unit == 1 ? QByteArray("T") : QByteArray("T\0", 2));
        QCOMPARE(out, expected);
        engine.cancel();
    }
};

QTEST_GUILESS_MAIN(TestEngineSteps)
#include "test_engine_steps.moc"
