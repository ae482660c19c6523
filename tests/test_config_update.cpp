// Recording the new version in the product's config.ini.
#include "support/log_capture.h"
#include "support/testable_engine.h"
#include "support/tree_snapshot.h"

#include <QtTest>

class TestConfigUpdate : public QObject
{
    Q_OBJECT
    QTemporaryDir root;

    QString prepare(TestableEngine &engine, const QByteArray &ini)
    {
        const QString app = root.path() + "/Prod";
        QDir(app).removeRecursively();
        writeTreeFile(app + "/Pellamo.exe", "main");
        if (!ini.isNull())
            writeTreeFile(app + "/config.ini", ini);
        engine.setUpdateInfo(app + "/Pellamo.exe", "2.1.0", "http://x/p.zip");
        QDir(engine.tempDir).removeRecursively();
        return app + "/config.ini";
    }

private slots:
    void initTestCase() { qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8()); }

    void onlyTheFiveKeysChange()
    {
        TestableEngine engine;
        const QString ini = prepare(engine, "[App]\nVersion=1.9.0\nLanguage=zh\n\n[Update]\nLastPromptTime=111\n"
                                            "LastCheckTime=222\nChannel=stable\n\n[Server]\nHost=example\n");
        LogCapture log;
        const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
        QVERIFY(engine.updateConfigFile());
        QSettings s(ini, QSettings::IniFormat);
        QCOMPARE(s.value("App/Version").toString(), QStringLiteral("2.1.0"));
        QCOMPARE(s.value("App/Language").toString(), QStringLiteral("zh"));
        QVERIFY(!s.contains("Update/LastPromptTime"));
        QVERIFY(!s.contains("Update/LastCheckTime"));
        QCOMPARE(s.value("Update/Channel").toString(), QStringLiteral("stable"));
        QCOMPARE(s.value("Update/LastUpdateVersion").toString(), QStringLiteral("2.1.0"));
        QCOMPARE(s.value("Server/Host").toString(), QStringLiteral("example"));
        const QDateTime stamp = QDateTime::fromString(s.value("Update/LastUpdateTime").toString(), "yyyy-MM-dd hh:mm:ss");
        QVERIFY(stamp.isValid() && stamp >= before && stamp <= QDateTime::currentDateTime());
        QCOMPARE(s.allKeys().size(), 6);
        QCOMPARE(log.events().mid(log.events().size() - 3),
                 (QStringList{"配置文件更新成功", "  旧版本: \"1.9.0\"", "  新版本: \"2.1.0\""}));
    }

    void noAppSection()
    {
        TestableEngine engine;
        const QString ini = prepare(engine, "[Other]\nKey=1\n");
        LogCapture log;
        QVERIFY(engine.updateConfigFile());
        QVERIFY(log.contains("  旧版本: \"\""));
        QCOMPARE(QSettings(ini, QSettings::IniFormat).value("App/Version").toString(), QStringLiteral("2.1.0"));
    }

    void missingFileNotCreated()
    {
        TestableEngine engine;
        const QString ini = prepare(engine, QByteArray());
        LogCapture log;
        QVERIFY(!engine.updateConfigFile());
        QVERIFY(!QFileInfo::exists(ini));
        QVERIFY(log.contains(QStringLiteral("配置文件不存在: \"%1\"").arg(ini)));
        QVERIFY(log.contains("找不到配置文件"));
    }

    // Root ignores file modes, so the file is made immutable instead.
    void unwritableFile()
    {
        TestableEngine engine;
        const QString ini = prepare(engine, "[App]\nVersion=1.0\n");
        if (QProcess::execute("chattr", {"+i", ini}) != 0)
            QSKIP("chattr +i is not available here");
        LogCapture log;
        const bool ok = engine.updateConfigFile();
        QProcess::execute("chattr", {"-i", ini});
        QVERIFY(!ok);
        QVERIFY(log.contains("配置文件更新失败"));
        QFile f(ini); // the bytes on disk: QSettings would answer from its in-process cache
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("[App]\nVersion=1.0\n"));
    }
};

QTEST_GUILESS_MAIN(TestConfigUpdate)
#include "test_config_update.moc"
