// The directory beside the update-info file is removed 2000 ms after start,
// with exactly one more attempt 1000 ms later when the first one fails.
#include "startup/update_info.h"

#include <QtTest>

namespace {

bool setImmutable(const QString &path, bool on)
{
    return QProcess::execute(QStringLiteral("chattr"), {on ? "+i" : "-i", path}) == 0;
}

} // namespace

class TestCompanionRemoval : public QObject
{
    Q_OBJECT

    QTemporaryDir root;
    QString dir, locked;

    void prepare()
    {
        dir = root.path() + "/upd";
        locked = dir + "/locked.dat";
        QVERIFY(QDir().mkpath(dir + "/sub"));
        QFile f(locked);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        if (!setImmutable(locked, true))
            QSKIP("chattr +i is not available here, so no removal can be made to fail");
    }

private slots:
    void cleanup()
    {
        if (!locked.isEmpty())
            setImmutable(locked, false);
        QDir(dir).removeRecursively();
    }

    void removedAtSecondAttempt()
    {
        prepare();
        scheduleCompanionRemoval(dir);
        QTest::qWait(1700);
        QVERIFY(QFileInfo(dir).isDir()); // not before 2000 ms
        QTest::qWait(700);
        QVERIFY(QFileInfo(dir).isDir()); // first attempt failed
        QVERIFY(setImmutable(locked, false));
        QTest::qWait(1000);
        QVERIFY(!QFileInfo::exists(dir)); // the retry got it
    }

    void noThirdAttempt()
    {
        prepare();
        scheduleCompanionRemoval(dir);
        QTest::qWait(3500); // both attempts have run and failed
        QVERIFY(QFileInfo(dir).isDir());
        QVERIFY(setImmutable(locked, false));
        QTest::qWait(1500);
        QVERIFY(QFileInfo(dir).isDir());
    }
};

QTEST_GUILESS_MAIN(TestCompanionRemoval)
#include "test_companion_removal.moc"
