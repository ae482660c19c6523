#include "window/updater_window.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

void UpdaterWindow::onErrorOccurred(QString error)
{
    static const char *const downloadKeywords[] = {"下载失败", "下载中断", "网络错误", "连接失败"};
    bool download = false;
    for (const char *keyword : downloadKeywords)
        download = download || error.contains(QString::fromUtf8(keyword));

    if (download)
        handleDownloadError(error);
    // A failed backup has touched nothing: the old version is in place.
    else if (error.contains(QStringLiteral("已恢复原版本")) || error.contains(QStringLiteral("创建备份失败")))
        handleInstallError(2, error);
    else if (error.contains(QStringLiteral("无法恢复")) || error.contains(QStringLiteral("需要重新安装")))
        handleInstallError(3, error);
    else
        handleDownloadError(error);

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
