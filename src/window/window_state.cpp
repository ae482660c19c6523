#include "window/updater_window.h"

#include "engine/update_engine.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

namespace {

const char kDownloadPage[] = "https://www.karvodesk.com/download";

} // namespace

void UpdaterWindow::setProgressColor(const char *color)
{
    progressBar->setStyleSheet(progressStyleTemplate.arg(QLatin1String(color)));
}

void UpdaterWindow::quitApplication()
{
    if (restartingProduct)
        return;
    if (state == STATE_INSTALL_FAILED_RESTORED && productStopped && !terminationRequested) {
        restartStoppedProduct(); // quits once the product runs again
        return;
    }
    QCoreApplication::quit();
}

void UpdaterWindow::updateButtonState()
{
    switch (state) {
    case STATE_IDLE:
    case STATE_DOWNLOADING:
    case STATE_INSTALLING:
        if (state == STATE_IDLE && mode != QLatin1String("manual")) {
            updateButton->setText(QStringLiteral("Update Now"));
            updateButton->setEnabled(true);
            updateButton->show();
        } else {
            updateButton->hide();
        }
        cancelButton->setText(state == STATE_INSTALLING ? QStringLiteral("Installing...") : QStringLiteral("Cancel"));
        cancelButton->setEnabled(state != STATE_INSTALLING);
        cancelButton->show();
        restartButton->hide();
        websiteButton->hide();
        break;
    case STATE_SUCCESS:
        updateButton->hide();
        cancelButton->hide();
        restartButton->setText(QStringLiteral("Restart"));
        restartButton->show();
        websiteButton->hide();
        break;
    case STATE_DOWNLOAD_FAILED:
    case STATE_INSTALL_FAILED_RESTORED:
    case STATE_INSTALL_FAILED_CRITICAL:
        break; // the failure presentation has set them
    }
}

void UpdaterWindow::autoStartDownload()
{
    if (state != STATE_IDLE)
        return;
    state = STATE_DOWNLOADING;
    beginDownload();
}

void UpdaterWindow::onUpdateNowClicked()
{
    if (state != STATE_IDLE && state != STATE_DOWNLOAD_FAILED)
        return;
    // "Retry": the button that read "Close" is a Cancel button again.
    if (quitReaction) {
        disconnect(quitReaction);
        quitReaction = QMetaObject::Connection();
    }
    state = STATE_DOWNLOADING;
    updateButtonState();
    beginDownload();
}

void UpdaterWindow::beginDownload()
{
    updateButton->hide();
    progressBar->show();
    progressBar->setValue(0);
    setProgressColor("#2196F3");
    statusLabel->setText(QStringLiteral("Connecting..."));
    // The state is already set, so clicks handled here see it.
    QCoreApplication::processEvents();
    engine->startDownload();
}

void UpdaterWindow::onCancelClicked()
{
    if (engine->isRunning)
        engine->cancel();
    switch (state) {
    case STATE_DOWNLOADING:
        engine->cancel();
        state = STATE_IDLE;
        updateButtonState();
        progressBar->hide();
        statusLabel->setText(QStringLiteral("Download cancelled"));
        break;
    case STATE_INSTALLING:
        break;
    case STATE_IDLE:
    case STATE_SUCCESS:
    case STATE_DOWNLOAD_FAILED:
    case STATE_INSTALL_FAILED_RESTORED:
    case STATE_INSTALL_FAILED_CRITICAL:
        quitApplication();
        break;
    }
}

void UpdaterWindow::onProgressChanged(int percent, QString message)
{
    if (state != STATE_DOWNLOADING)
        return;
    progressBar->setValue(percent);
    statusLabel->setText(message);
}

void UpdaterWindow::onStatusChanged(QString status)
{
    statusLabel->setText(status);
}

void UpdaterWindow::onInstallProgress(int percent, QString message)
{
    if (state == STATE_DOWNLOADING && percent >= 70) {
        state = STATE_INSTALLING;
        updateButtonState();
        setProgressColor("#4CAF50");
    }
    if (state == STATE_INSTALLING)
        productStopped = true;
    if (state == STATE_INSTALLING || state == STATE_SUCCESS) {
        progressBar->setValue(percent);
        statusLabel->setText(message);
    }
}

void UpdaterWindow::onReadyToInstall()
{
    if (state != STATE_INSTALLING) {
        state = STATE_INSTALLING;
        updateButtonState();
        setProgressColor("#4CAF50");
        statusLabel->setText(QStringLiteral("Download complete, installing..."));
        QCoreApplication::processEvents();
    }
    QTimer::singleShot(timings.installStartDelay, this, [this]() {
        if (!terminationRequested) // the system asked the updater to end meanwhile
            engine->startInstall();
    });
}

void UpdaterWindow::onUpdateFinished(bool success, QString message)
{
    Q_UNUSED(message);
    if (!success)
        return;
    state = STATE_SUCCESS;
    setProgressColor("#4CAF50");
    progressBar->setValue(100);
    statusLabel->setText(QStringLiteral("Update successful! Restarting..."));
    updateButtonState();
    if (closePending) {
        quitApplication(); // the user closed the window during the installation
        return;
    }
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, timer, [this, timer]() { countdownTick(timer); }, Qt::DirectConnection);
    timer->start(timings.countdownTick);
}

void UpdaterWindow::onWebsiteClicked()
{
    QDesktopServices::openUrl(QUrl(QString::fromLatin1(kDownloadPage), QUrl::TolerantMode));
}

void UpdaterWindow::requestTermination()
{
    terminationRequested = true;
    // Until the installation has begun nothing is stopped: end as Cancel does.
    if (engine->installing() || (state == STATE_INSTALLING && productStopped && engine->isRunning)) {
        closePending = true; // quits once the installation has ended
        return;
    }
    if (engine->isRunning)
        engine->cancel();
    quitApplication();
}

void UpdaterWindow::closeEvent(QCloseEvent *event)
{
    // The installation cannot be interrupted and must not lose its backup:
    // the close takes effect once it has ended.
    if (state == STATE_INSTALLING && engine->isRunning) {
        closePending = true;
        event->ignore();
        return;
    }
    if (engine->isRunning)
        engine->cancel();
    quitApplication();
    if (restartingProduct) {
        // The window must outlive the restart it has begun.
        event->ignore();
        hide();
        return;
    }
    event->accept();
}
