// Work directories of earlier runs: removed when created more than 300 s
// before the reference time, each pattern only in its own location.
#include "startup/stale_cleanup.h"

#include <QtTest>

namespace {

void makeFile(const QString &path)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("x");
}

} // namespace

class TestStaleCleanup : public QObject
{
    Q_OBJECT
private slots:
    void ageRuleAndLocations()
    {
        QTemporaryDir root;
        const QString tmp = root.path() + "/tmp", data = root.path() + "/data", outside = root.path() + "/outside";
        for (const QString &d : {tmp + "/TeskUpdate_100/sub", data + "/KarvoUpdate_200/sub", tmp + "/KarvoUpdate_9",
                                 data + "/TeskUpdate_9", data + "/Other", outside})
            QVERIFY(QDir().mkpath(d));
        makeFile(tmp + "/TeskUpdate_100/sub/f");
        makeFile(data + "/KarvoUpdate_200/sub/update.zip");
        makeFile(tmp + "/teskupdate_file");        // name match ignores case
        makeFile(data + "/KarvoUpdate_plain");     // plain file
        makeFile(outside + "/precious");
        QVERIFY(QFile::link(outside, data + "/KarvoUpdate_link"));

        const QStringList stale{tmp + "/TeskUpdate_100", tmp + "/teskupdate_file", data + "/KarvoUpdate_200",
                                data + "/KarvoUpdate_plain", data + "/KarvoUpdate_link"};
        const QStringList kept{tmp + "/KarvoUpdate_9", data + "/TeskUpdate_9", data + "/Other", outside + "/precious"};

        QDateTime earliest, latest;
        for (const QString &p : stale) {
            const QDateTime born = QFileInfo(p).birthTime();
            if (!born.isValid())
                QSKIP("this file system does not record creation times");
            if (!earliest.isValid() || born < earliest)
                earliest = born;
            if (!latest.isValid() || born > latest)
                latest = born;
        }

        // Exactly 300 s old (or younger): everything stays.
        removeStaleWorkDirs(tmp, data, earliest.addSecs(300));
        for (const QString &p : stale + kept)
            QVERIFY2(QFileInfo::exists(p) || QFileInfo(p).isSymLink(), qPrintable(p));

        removeStaleWorkDirs(tmp, data, latest.addSecs(301));
        for (const QString &p : stale)
            QVERIFY2(!QFileInfo::exists(p) && !QFileInfo(p).isSymLink(), qPrintable(p));
        // Entries of the other pattern, unrelated names and what a link pointed to stay.
        for (const QString &p : kept)
            QVERIFY2(QFileInfo::exists(p), qPrintable(p));
    }
};

QTEST_GUILESS_MAIN(TestStaleCleanup)
#include "test_stale_cleanup.moc"
