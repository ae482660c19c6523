// The window under the offscreen platform: real buttons clicked, the
// engine's signals driven, its looks grabbed. The window is never destroyed
// here: its destructor ends the process.
#include "engine/update_engine.h"
#include "support/http_server.h"
#include "window/updater_window.h"

#include <QtTest>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>

class TestableWindow : public UpdaterWindow
{
public:
    using UpdaterWindow::cancelButton;
    using UpdaterWindow::engine;
    using UpdaterWindow::notesEdit;
    using UpdaterWindow::progressBar;
    using UpdaterWindow::restartButton;
    using UpdaterWindow::setTimings;
    using UpdaterWindow::state;
    using UpdaterWindow::statusLabel;
    using UpdaterWindow::updateButton;
    using UpdaterWindow::websiteButton;
};

namespace {

// Which buttons can be seen, by caption.
QStringList visibleButtons(TestableWindow *w)
{
    QStringList out;
    for (QPushButton *b : {w->updateButton, w->cancelButton, w->restartButton, w->websiteButton})
        if (b->isVisibleTo(w))
            out << b->text() + (b->isEnabled() ? "" : " (disabled)");
    return out;
}

// Runs the application's event loop until something quits it, or gives up.
bool quitsAfter(const std::function<void()> &action, int withinMs = 1500)
{
    QTimer giveUp;
    giveUp.setSingleShot(true);
    QObject::connect(&giveUp, &QTimer::timeout, [] { QCoreApplication::exit(42); });
    giveUp.start(withinMs);
    QTimer::singleShot(0, action);
    const int code = QCoreApplication::exec();
    giveUp.stop();
    return code == 0;
}

QColor colourAt(QWidget *w, QWidget *child, QPoint inChild)
{
    const QImage image = w->grab().toImage();
    return image.pixelColor(child->mapTo(w, inChild));
}

} // namespace

class TestUpdaterWindow : public QObject
{
    Q_OBJECT
    QTemporaryDir root;
    HttpServer server;
    QString program;

    TestableWindow *makeWindow(const QString &mode, const QString &memo = QString(), const QString &path = "/slow.zip")
    {
        auto *w = static_cast<TestableWindow *>(new UpdaterWindow);
        WindowTimings t;
        t.countdownTick = 3600 * 1000; // the restart would end this process
        w->setTimings(t);
        w->setUpdateInfo(program, "3.2.1", server.url(path), mode, memo);
        return w;
    }

private slots:
    void initTestCase()
    {
        qputenv("PROGRAMDATA", (root.path() + "/pd").toUtf8());
        program = root.path() + "/Prod/Pellamo.exe";
        QDir().mkpath(root.path() + "/Prod");
        QFile f(program);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("main");
        f.close();
        HttpRoute slow;
        slow.bodySize = 400000;
        slow.dripBytes = 1000;
        slow.dripIntervalMs = 50;
        // One path per test, so that the request counts stay apart.
        for (const char *path : {"/slow.zip", "/manual-auto.zip", "/manual-click.zip", "/auto.zip"})
            server.route(path, slow);
        QVERIFY(server.listen());
    }

    void initialLayout()
    {
        TestableWindow *w = makeWindow("auto");
        QCOMPARE(w->size(), QSize(470, 340));
        QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(w->testAttribute(Qt::WA_TranslucentBackground));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Ready"));
        QVERIFY(!w->progressBar->isVisibleTo(w));
        QCOMPARE(visibleButtons(w), (QStringList{"Update Now", "Cancel"}));
        const QList<QLabel *> labels = w->findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.begin(), labels.end(), [](QLabel *l) {
            return l->text().contains(">KarvoDesk Update Available<");
        }));
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        const QRect statusBefore = w->statusLabel->geometry();
        const QRect buttonBefore = w->cancelButton->geometry();
        w->progressBar->show();
        QCoreApplication::processEvents();
        QCOMPARE(w->statusLabel->geometry(), statusBefore); // the bar's row was reserved
        QCOMPARE(w->cancelButton->geometry(), buttonBefore);
        // Bottom-right corner of the available area, the shadow band past it.
        const QRect r = QGuiApplication::primaryScreen()->availableGeometry();
        const QPoint corner(r.x() + r.width() - 470 + 18, r.y() + r.height() - 340 + 18);
        QTRY_COMPARE(w->pos(), corner);
        w->hide();
        w->move(5, 5);
        w->show();
        QTRY_COMPARE(w->pos(), corner); // again after every show
        w->hide();
    }

    void releaseNotes_data()
    {
        QTest::addColumn<QString>("memo");
        QTest::addColumn<QString>("shown");
        QTest::newRow("escaped line feed") << "first\\nsecond" << "first\nsecond";
        QTest::newRow("tab and quote") << "a\\tb \\\"q\\\"" << "a\tb \"q\"";
        QTest::newRow("double backslash before n") << "x\\\\ny" << "x\\\ny";
        QTest::newRow("double backslash") << "C:\\\\dir" << "C:\\dir";
        QTest::newRow("blanks") << "   " << "   ";
        QTest::newRow("empty") << "" << "Version: 3.2.1\n\nUpdate Notes:\n1. Optimized installation logic; closes main "
                                        "program after validation\n2. Added operation protection during installation\n"
                                        "3. Fixed stability issues";
    }
    void releaseNotes()
    {
        QFETCH(QString, memo);
        QFETCH(QString, shown);
        TestableWindow *w = makeWindow("auto", memo);
        QCOMPARE(w->notesEdit->toPlainText(), shown);
    }

    void htmlMemoIsFormatted()
    {
        TestableWindow *w = makeWindow("auto", "<b>Bold</b> news");
        QCOMPARE(w->notesEdit->toPlainText(), QStringLiteral("Bold news"));
        QVERIFY(w->notesEdit->toHtml().contains("font-weight"));
    }

    void manualStartsByItself()
    {
        TestableWindow *w = makeWindow("MANUAL", QString(), "/manual-auto.zip");
        QCOMPARE(w->state, STATE_IDLE);
        QVERIFY(w->updateButton->isVisibleTo(w)); // clickable for the first 100 ms
        QTRY_COMPARE(w->state, STATE_DOWNLOADING);
        QVERIFY(!w->updateButton->isVisibleTo(w));
        QVERIFY(w->progressBar->isVisibleTo(w));
        QTRY_COMPARE(server.requestCount("/manual-auto.zip"), 1);
        QTest::mouseClick(w->cancelButton, Qt::LeftButton);
        QCOMPARE(w->state, STATE_IDLE);
        QCOMPARE(visibleButtons(w), QStringList{"Cancel"});
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Download cancelled"));
        QVERIFY(quitsAfter([w] { QTest::mouseClick(w->cancelButton, Qt::LeftButton); }));
    }

    void manualClickFirst()
    {
        TestableWindow *w = makeWindow("manual", QString(), "/manual-click.zip");
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        QCOMPARE(w->state, STATE_DOWNLOADING);
        QTest::qWait(400);
        QCOMPARE(server.requestCount("/manual-click.zip"), 1);
        QTest::mouseClick(w->cancelButton, Qt::LeftButton);
    }

    void autoCancelAndRestart()
    {
        TestableWindow *w = makeWindow("auto", QString(), "/auto.zip");
        QTest::qWait(300);
        QCOMPARE(server.requestCount("/auto.zip"), 0); // nothing without a click
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        QCOMPARE(visibleButtons(w), QStringList{"Cancel"});
        QTRY_VERIFY(w->progressBar->isVisibleTo(w));
        QTRY_COMPARE(server.requestCount("/auto.zip"), 1);
        QTest::mouseClick(w->cancelButton, Qt::LeftButton);
        QCOMPARE(w->state, STATE_IDLE);
        QVERIFY(!w->engine->isRunning);
        emit w->engine->progressChanged(30, "Download: 30%"); // late: ignored
        QVERIFY(!w->progressBar->isVisibleTo(w));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Download cancelled"));
        QCOMPARE(visibleButtons(w), (QStringList{"Update Now", "Cancel"}));
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        QCOMPARE(w->state, STATE_DOWNLOADING);
        QTRY_COMPARE(server.requestCount("/auto.zip"), 2);
        QTest::mouseClick(w->cancelButton, Qt::LeftButton);
    }

    void installProgressWhileDownloading()
    {
        TestableWindow *w = makeWindow("auto");
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        emit w->engine->progressChanged(12, "Download: 12%");
        QCOMPARE(w->progressBar->value(), 12);
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Download: 12%"));
        emit w->engine->installProgress(50, "early");
        QCOMPARE(w->state, STATE_DOWNLOADING);
        QCOMPARE(w->progressBar->value(), 12);
        emit w->engine->installProgress(70, "Closing processes...");
        QCOMPARE(w->state, STATE_INSTALLING);
        QCOMPARE(w->progressBar->value(), 70);
        QCOMPARE(visibleButtons(w), QStringList{"Installing... (disabled)"});
        QVERIFY(w->progressBar->styleSheet().contains("#4CAF50"));
        w->engine->cancel();
    }

    void success()
    {
        TestableWindow *w = makeWindow("auto");
        emit w->engine->updateFinished(false, "ignored");
        QCOMPARE(w->state, STATE_IDLE);
        QCOMPARE(visibleButtons(w), (QStringList{"Update Now", "Cancel"}));
        emit w->engine->updateFinished(true, "安装已成功完成");
        QCOMPARE(w->state, STATE_SUCCESS);
        QCOMPARE(w->progressBar->value(), 100);
        QVERIFY(w->progressBar->styleSheet().contains("#4CAF50"));
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Update successful! Restarting..."));
        QCOMPARE(visibleButtons(w), QStringList{"Restart"});
    }

    void failurePresentation_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("buttons");
        const QStringList retry{"Retry", "Close"};
        QTest::newRow("network") << "下载失败: Connection closed" << int(STATE_DOWNLOAD_FAILED) << "Download failed" << retry;
        QTest::newRow("integrity") << "文件完整性校验失败" << int(STATE_DOWNLOAD_FAILED) << "Download failed" << retry;
        QTest::newRow("backup") << "创建备份失败，停止更新" << int(STATE_DOWNLOAD_FAILED) << "Download failed" << retry;
        QTest::newRow("empty") << "" << int(STATE_DOWNLOAD_FAILED) << "Download failed" << retry;
        QTest::newRow("download keyword first") << "下载中断，已恢复原版本" << int(STATE_DOWNLOAD_FAILED)
                                                << "Download failed" << retry;
        QTest::newRow("restored") << "安装文件失败，已恢复原版本" << int(STATE_INSTALL_FAILED_RESTORED)
                                  << "Update failed, restored to previous version" << QStringList{"Close"};
        QTest::newRow("restored before not restored") << "已恢复原版本 无法恢复" << int(STATE_INSTALL_FAILED_RESTORED)
                                                      << "Update failed, restored to previous version"
                                                      << QStringList{"Close"};
        QTest::newRow("critical") << "安装失败且无法恢复，需要重新安装" << int(STATE_INSTALL_FAILED_CRITICAL)
                                  << "Critical error! Please download from website"
                                  << QStringList{"Close", "Website"};
    }
    void failurePresentation()
    {
        QFETCH(QString, message);
        QFETCH(int, state);
        QFETCH(QString, status);
        QFETCH(QStringList, buttons);
        TestableWindow *w = makeWindow("auto");
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        emit w->engine->installProgress(70, "Closing processes..."); // a failure while installing
        w->engine->cancel();
        emit w->engine->errorOccurred(message);
        QCOMPARE(int(w->state), state);
        QCOMPARE(w->statusLabel->text(), status);
        QCOMPARE(visibleButtons(w), buttons);
        QVERIFY(!w->progressBar->isVisibleTo(w));
        QVERIFY(quitsAfter([w] { QTest::mouseClick(w->cancelButton, Qt::LeftButton); }));
    }

    // A missing program is reported while the window is informed: it opens
    // on the failure, and manual mode does not start a download.
    void failureBeforeShow()
    {
        auto *w = static_cast<TestableWindow *>(new UpdaterWindow);
        w->setUpdateInfo(root.path() + "/Nowhere/Pellamo.exe", "3.2.1", server.url("/never.zip"), "manual", "");
        QCOMPARE(w->state, STATE_DOWNLOAD_FAILED);
        QTest::qWait(300);
        QCOMPARE(w->state, STATE_DOWNLOAD_FAILED);
        QCOMPARE(server.requestCount("/never.zip"), 0);
        QCOMPARE(visibleButtons(w), (QStringList{"Retry", "Close"}));
    }

    // "Retry" starts a new download whose Cancel returns to idle, not quits.
    void retryThenCancel()
    {
        TestableWindow *w = makeWindow("auto", QString(), "/nothing-here.zip");
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        QTRY_COMPARE(w->state, STATE_DOWNLOAD_FAILED); // 404
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        QTRY_COMPARE(w->state, STATE_DOWNLOAD_FAILED); // same presentation again
        QCOMPARE(visibleButtons(w), (QStringList{"Retry", "Close"}));
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        QCOMPARE(w->state, STATE_DOWNLOADING);
        QCOMPARE(visibleButtons(w), QStringList{"Cancel"});
        QVERIFY(!quitsAfter([w] { QTest::mouseClick(w->cancelButton, Qt::LeftButton); }, 500));
        QCOMPARE(w->state, STATE_IDLE);
        QCOMPARE(w->statusLabel->text(), QStringLiteral("Download cancelled"));
    }

    // Closing while installing waits for the installation's end.
    void closeWhileInstalling()
    {
        TestableWindow *w = makeWindow("auto");
        w->show();
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        emit w->engine->installProgress(70, "Closing processes...");
        QVERIFY(w->engine->isRunning);
        QVERIFY(!w->close()); // refused for now
        QVERIFY(w->isVisible());
        QCOMPARE(w->state, STATE_INSTALLING);
        w->engine->isRunning = false;
        QVERIFY(quitsAfter([w] { emit w->engine->errorOccurred("安装文件失败，已恢复原版本"); }));
        QCOMPARE(w->state, STATE_INSTALL_FAILED_RESTORED);
        w->hide();
    }

    void rendering()
    {
        TestableWindow *w = makeWindow("auto");
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QWidget *container = w->statusLabel->parentWidget();
        QCOMPARE(colourAt(w, container, QPoint(8, 150)), QColor("#EFF6FF"));

        w->updateButton->setEnabled(false);
        const QPoint buttonEdge(4, w->updateButton->height() / 2);
        QCOMPARE(colourAt(w, w->updateButton, buttonEdge), QColor("#cccccc"));

        w->updateButton->setEnabled(true);
        QTest::mouseClick(w->updateButton, Qt::LeftButton);
        emit w->engine->progressChanged(50, "Download: 50%");
        const QPoint inChunk(6, w->progressBar->height() / 2);
        QCOMPARE(colourAt(w, w->progressBar, inChunk), QColor("#2196F3"));
        emit w->engine->installProgress(75, "Creating backup...");
        QCOMPARE(colourAt(w, w->progressBar, inChunk), QColor("#4CAF50"));
        w->engine->cancel();
        w->hide();
    }
};

QTEST_MAIN(TestUpdaterWindow)
#include "test_updater_window.moc"
