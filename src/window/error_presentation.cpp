#include "window/updater_window.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

void UpdaterWindow::onErrorOccurred(QString error, Outcome outcome)
{
    switch (outcomes::row(outcome).shown) {
    case outcomes::Shown::Restored: handleInstallError(2, error); break;
    case outcomes::Shown::Critical: handleInstallError(3, error); break;
    case outcomes::Shown::Retry:
    case outcomes::Shown::Success: handleDownloadError(error); break;
    }
    if (closePending)
        quitApplication(); // the user closed the window during the installation
}

void UpdaterWindow::handleDownloadError(const QString &error)
{
    Q_UNUSED(error);
    state = STATE_DOWNLOAD_FAILED;
    progressBar->hide();
    statusLabel->setText(QStringLiteral("Download failed"));
    updateButton->setText(QStringLiteral("Retry"));
    updateButton->show();
    updateButton->setEnabled(true);
    cancelButton->setText(QStringLiteral("Close"));
    cancelButton->show();
    cancelButton->setEnabled(true);
    restartButton->hide();
    websiteButton->hide();
    attachQuitReaction();
}

void UpdaterWindow::handleInstallError(int type, const QString &error)
{
    Q_UNUSED(error);
    progressBar->hide();
    restartButton->hide();
    updateButton->hide();
    if (type == 2) {
        state = STATE_INSTALL_FAILED_RESTORED;
        statusLabel->setText(QStringLiteral("Update failed, restored to previous version"));
        websiteButton->hide();
    } else {
        state = STATE_INSTALL_FAILED_CRITICAL;
        statusLabel->setText(QStringLiteral("Critical error! Please download from website"));
        websiteButton->show();
    }
    cancelButton->setText(QStringLiteral("Close"));
    cancelButton->show();
    cancelButton->setEnabled(true);
    attachQuitReaction();
}

void UpdaterWindow::attachQuitReaction()
{
    if (!quitReaction)
        quitReaction = connect(cancelButton, &QPushButton::clicked, this, [this]() { quitApplication(); });
}
