#include "window/updater_window.h"

#include "engine/update_engine.h"
#include "platform/platform.h"

#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

namespace {

const char kDefaultNotes[] = "Version: %1\n\nUpdate Notes:\n"
                             "1. Optimized installation logic; closes main program after validation\n"
                             "2. Added operation protection during installation\n"
                             "3. Fixed stability issues";

} // namespace

UpdaterWindow::UpdaterWindow(QWidget *parent)
    : QDialog(parent)
    , engine(new UpdateEngine(nullptr))
    , appPath()
    , countdownSeconds(5)
    , state(STATE_IDLE)
    , mode(QStringLiteral("auto"))
    , endProcess(platform::terminateNow)
{
    setupUi();
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);

    connect(engine, &UpdateEngine::progressChanged, this, &UpdaterWindow::onProgressChanged);
    connect(engine, &UpdateEngine::statusChanged, this, &UpdaterWindow::onStatusChanged);
    connect(engine, &UpdateEngine::installProgress, this, &UpdaterWindow::onInstallProgress);
    connect(engine, &UpdateEngine::readyToInstall, this, &UpdaterWindow::onReadyToInstall);
    connect(engine, &UpdateEngine::updateFinished, this, &UpdaterWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::errorOccurred, this, &UpdaterWindow::onErrorOccurred);
    connect(updateButton, &QPushButton::clicked, this, &UpdaterWindow::onUpdateNowClicked);
    connect(cancelButton, &QPushButton::clicked, this, &UpdaterWindow::onCancelClicked);
    connect(restartButton, &QPushButton::clicked, this, &UpdaterWindow::restartApplication);
    connect(websiteButton, &QPushButton::clicked, this, &UpdaterWindow::onWebsiteClicked);
    updateButtonState();
}

UpdaterWindow::~UpdaterWindow()
{
    if (engine) {
        engine->cancel();
        // An installation still running keeps its engine until it has ended.
        engine->waitForInstall();
        delete engine;
        engine = nullptr;
    }
    // Ends here: nothing of the window or the entry point is released twice.
    endProcess(0);
}

void UpdaterWindow::setSignatureInputs(const QByteArray &keyFile, const QString &signatureText)
{
    engine->setSignatureInputs(keyFile, signatureText);
}

void UpdaterWindow::setFullDownloadUrl(const QString &url, const QString &sha256, const QString &signatureText)
{
    engine->setFullDownloadUrl(url, sha256, signatureText);
}

void UpdaterWindow::setExpectedSha256(const QString &hex)
{
    engine->setExpectedSha256(hex);
}

void UpdaterWindow::setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl,
                                  const QString &mode, const QString &memo)
{
    this->appPath = appPath;
    this->mode = mode.toLower();
    engine->setUpdateInfo(appPath, newVersion, downloadUrl);

    QString notes;
    if (memo.length() > 0) {
        // Line feeds first: "\\n" in the memo becomes a backslash and a line break.
        notes = memo;
        notes.replace(QLatin1String("\\n"), QLatin1String("\n"));
        notes.replace(QLatin1String("\\t"), QLatin1String("\t"));
        notes.replace(QLatin1String("\\\""), QLatin1String("\""));
        notes.replace(QLatin1String("\\\\"), QLatin1String("\\"));
    } else {
        notes = QString::fromLatin1(kDefaultNotes).arg(newVersion);
    }
    notesEdit->setText(notes);

    if (this->mode == QLatin1String("manual"))
        QTimer::singleShot(timings.autoStartDelay, this, [this]() { autoStartDownload(); });
}
