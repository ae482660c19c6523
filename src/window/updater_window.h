#pragma once
#include "shared/outcomes.h"

#include <QDialog>
#include <QMetaObject>
#include <QString>

#include <functional>

class QCloseEvent;
class QLabel;
class QProcess;
class QProgressBar;
class QPushButton;
class QShowEvent;
class QTextEdit;
class QTimer;
class UpdateEngine;

enum UpdateState {
    STATE_IDLE = 0,
    STATE_DOWNLOADING = 1,
    STATE_INSTALLING = 2,
    STATE_SUCCESS = 3,
    STATE_DOWNLOAD_FAILED = 4,
    STATE_INSTALL_FAILED_RESTORED = 5,
    STATE_INSTALL_FAILED_CRITICAL = 6,
};

// The window's fixed waits in milliseconds; tests may shorten them.
struct WindowTimings
{
    int autoStartDelay = 100;
    int installStartDelay = 300;
    int countdownTick = 1000;
    int daemonInstallTimeout = 10000;
    int daemonRunDelay = 1000;
    int mainProgramDelay = 2000;
    int productQueryWait = 5000; // whether a stopped program runs again
};

// The updater's one window: release notes, status, progress and buttons,
// driving the engine through one update.
class UpdaterWindow : public QDialog
{
    Q_OBJECT
public:
    explicit UpdaterWindow(QWidget *parent = nullptr);
    ~UpdaterWindow() override;

    void setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl,
                       const QString &mode, const QString &memo);
    // The system asks the updater to end (SIGTERM, end of the session): a
    // running installation is finished (committed or rolled back) first.
    void requestTermination();
    // The package's SHA-256 from the update-info file, when it names one.
    void setExpectedSha256(const QString &hex);
    void setSignatureInputs(const QByteArray &keyFile, const QString &signatureText);
    void setFullDownloadUrl(const QString &url, const QString &sha256, const QString &signatureText);
    // The engine, whose final signals the run's record follows.
    const UpdateEngine *updateEngine() const { return engine; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    // Escape would only hide the dialog and leave the updater running unseen.
    void reject() override { close(); }

    void setTimings(const WindowTimings &t) { timings = t; }

private slots:
    void onProgressChanged(int percent, QString message);
    void onStatusChanged(QString status);
    void onInstallProgress(int percent, QString message);
    void onReadyToInstall();
    void onUpdateFinished(bool success, QString message);
    void onErrorOccurred(QString error, Outcome outcome);
    void onUpdateNowClicked();
    void onCancelClicked();
    void restartApplication();
    void onWebsiteClicked();

protected:
    void setupUi();
    void updateButtonState();
    void autoStartDownload();
    void beginDownload();
    void setProgressColor(const char *color);
    void handleDownloadError(const QString &error);
    void handleInstallError(int type, const QString &error);
    void attachQuitReaction();
    void countdownTick(QTimer *timer);
    void onInstallFinished();
    void runDaemon(const QString &daemonPath, const QString &serverDir, const QString &programDir);
    void launchMainProgram(const QString &programDir);
    void startMainProgramAsUser(const QString &programDir);
    void quitApplication();
    void restartStoppedProduct();

    UpdateEngine *engine;
    QString appPath;
    int countdownSeconds;
    UpdateState state;
    QString mode;
    QTextEdit *notesEdit = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QPushButton *updateButton = nullptr;
    QPushButton *cancelButton = nullptr;
    QPushButton *restartButton = nullptr;
    QPushButton *websiteButton = nullptr;

    WindowTimings timings;
    QString progressStyleTemplate;
    // "Close" of a failure presentation; let go again when "Retry" starts a
    // download, so that Cancel then returns to idle.
    QMetaObject::Connection quitReaction;
    // A close asked for while installing waits for the installation's end.
    bool closePending = false;
    QProcess *daemonInstall = nullptr;
    bool installStepDone = false;
    // The installation stopped the product; a failure that left the old
    // version in place starts it again on close.
    bool productStopped = false;
    bool restartingProduct = false;
    bool terminationRequested = false;
    // How the window ends the process (destructor, restart hand-off); tests
    // replace it so that a closed test window cannot end the test run.
    std::function<void(int)> endProcess;
};
