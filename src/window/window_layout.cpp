#include "window/updater_window.h"
#include "shared/product_names.h"

#include <QFrame>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const char kContainerStyle[] = "QWidget {"
                               "  background-color: #EFF6FF;"
                               "  border-radius: 10px;"
                               "}";

const char kNotesCardStyle[] = "QFrame {"
                               "  background-color: white;"
                               "  border-radius: 10px;"
                               "}";

const char kNotesStyle[] = "QTextEdit {"
                           "  border: none;"
                           "  background: transparent;"
                           "  font-size: 13px;"
                           "  padding: 2px;"
                           "  line-height: 1.4;"
                           "  margin-right: 2px;"
                           "}"
                           "QScrollBar:vertical {"
                           "  border: none;"
                           "  background: #f5f5f5;"
                           "  width: 6px;"
                           "  border-radius: 3px;"
                           "  margin: 1px 0px 1px 0px;"
                           "}"
                           "QScrollBar::handle:vertical {"
                           "  background: #c1c1c1;"
                           "  border-radius: 3px;"
                           "  min-height: 20px;"
                           "}"
                           "QScrollBar::handle:vertical:hover {"
                           "  background: #a8a8a8;"
                           "}"
                           "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical {"
                           "  border: none;"
                           "  background: none;"
                           "  height: 0px;"
                           "}"
                           "QScrollBar:horizontal {"
                           "  height: 0px;"
                           "}";

const char kStatusStyle[] = "color: #666; font-size: 12px; padding: 4px 0;";

const char kProgressStyle[] = "QProgressBar {"
                              "  border: 1px solid #e0e0e0;"
                              "  border-radius: 6px;"
                              "  text-align: center;"
                              "  font-size: 11px;"
                              "}"
                              "QProgressBar::chunk {"
                              "  background-color: %1;"
                              "  border-radius: 5px;"
                              "}";

#define FARWEN_GRADIENT(a, b) \
    "  background-color: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 " a ", stop:1 " b ");"

const char kUpdateButtonStyle[] = "QPushButton {" FARWEN_GRADIENT("#4dabf7", "#2196F3")
                                  "  color: white;"
                                  "  border: none;"
                                  "  border-radius: 8px;"
                                  "  font-size: 13px;"
                                  "  font-weight: bold;"
                                  "}"
                                  "QPushButton:hover {" FARWEN_GRADIENT("#3d9bef", "#1976D2") "}"
                                  "QPushButton:pressed {"
                                  "  background-color: #0D47A1;"
                                  "}"
                                  "QPushButton:disabled {"
                                  "  background-color: #cccccc;"
                                  "}";

const char kCancelButtonStyle[] = "QPushButton {"
                                  "  background-color: #f5f5f5;"
                                  "  color: #555;"
                                  "  border: 1px solid #e0e0e0;"
                                  "  border-radius: 8px;"
                                  "  font-size: 13px;"
                                  "  font-weight: 500;"
                                  "}"
                                  "QPushButton:hover {"
                                  "  background-color: #eaeaea;"
                                  "  border-color: #d0d0d0;"
                                  "}"
                                  "QPushButton:pressed {"
                                  "  background-color: #e0e0e0;"
                                  "}"
                                  "QPushButton:disabled {"
                                  "  background-color: #f8f8f8;"
                                  "  color: #aaa;"
                                  "  border-color: #e8e8e8;"
                                  "}";

const char kRestartButtonStyle[] = "QPushButton {" FARWEN_GRADIENT("#66bb6a", "#4CAF50")
                                   "  color: white;"
                                   "  border: none;"
                                   "  border-radius: 8px;"
                                   "  font-size: 13px;"
                                   "  font-weight: bold;"
                                   "}"
                                   "QPushButton:hover {" FARWEN_GRADIENT("#5cb060", "#388E3C") "}"
                                   "QPushButton:pressed {"
                                   "  background-color: #2E7D32;"
                                   "}";

const char kWebsiteButtonStyle[] = "QPushButton {" FARWEN_GRADIENT("#FF9800", "#F57C00")
                                   "  color: white;"
                                   "  border: none;"
                                   "  border-radius: 8px;"
                                   "  font-size: 13px;"
                                   "  font-weight: bold;"
                                   "}"
                                   "QPushButton:hover {" FARWEN_GRADIENT("#F57C00", "#E65100") "}"
                                   "QPushButton:pressed {"
                                   "  background-color: #BF360C;"
                                   "}";

#undef FARWEN_GRADIENT

QPushButton *makeButton(const char *caption, const char *style, QWidget *parent)
{
    auto *button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setFixedSize(90, 32);
    button->setStyleSheet(QString::fromLatin1(style));
    return button;
}

} // namespace

void UpdaterWindow::setupUi()
{
    setFixedSize(470, 340);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);

    auto *containerWidget = new QWidget(this);
    containerWidget->setFixedSize(430, 300);
    containerWidget->move(20, 20);
    containerWidget->setStyleSheet(QString::fromLatin1(kContainerStyle));
    auto *shadow = new QGraphicsDropShadowEffect(this);
    shadow->setBlurRadius(15);
    shadow->setOffset(0, 0);
    shadow->setColor(QColor(100, 100, 100, 50));
    containerWidget->setGraphicsEffect(shadow);

    auto *mainLayout = new QVBoxLayout(containerWidget);
    mainLayout->setContentsMargins(25, 25, 25, 15);
    mainLayout->setSpacing(0);

    auto *titleLabel = new QLabel(
        QStringLiteral("<span style='font-size: 18px; font-weight: bold;'>%1 Update Available</span>").arg(QLatin1String(product::kName)),
        containerWidget);

    auto *notesCard = new QFrame(containerWidget);
    notesCard->setFixedHeight(110);
    notesCard->setStyleSheet(QString::fromLatin1(kNotesCardStyle));
    auto *cardShadow = new QGraphicsDropShadowEffect;
    cardShadow->setBlurRadius(8);
    cardShadow->setOffset(0, 2);
    cardShadow->setColor(QColor(0, 0, 0, 25));
    notesCard->setGraphicsEffect(cardShadow);
    auto *cardLayout = new QVBoxLayout(notesCard);
    cardLayout->setContentsMargins(15, 15, 10, 15);
    notesEdit = new QTextEdit(notesCard);
    notesEdit->setReadOnly(true);
    notesEdit->setStyleSheet(QString::fromLatin1(kNotesStyle));
    cardLayout->addWidget(notesEdit);

    statusLabel = new QLabel(QStringLiteral("Ready"), containerWidget);
    statusLabel->setStyleSheet(QString::fromLatin1(kStatusStyle));
    statusLabel->setFixedHeight(24);

    // The row keeps its height while the bar is hidden, so showing it moves nothing.
    auto *progressContainer = new QWidget(containerWidget);
    progressContainer->setFixedHeight(20);
    auto *progressLayout = new QVBoxLayout(progressContainer);
    progressLayout->setContentsMargins(0, 0, 0, 0);
    progressLayout->setSpacing(0);
    progressBar = new QProgressBar(progressContainer);
    progressBar->setFixedHeight(16);
    progressBar->setRange(0, 100);
    progressStyleTemplate = QString::fromLatin1(kProgressStyle);
    progressBar->setStyleSheet(progressStyleTemplate.arg(QStringLiteral("#2196F3")));
    progressBar->hide();
    progressLayout->addWidget(progressBar);

    auto *buttonLayout = new QHBoxLayout;
    buttonLayout->setSpacing(12);
    buttonLayout->setContentsMargins(0, 0, 0, 0);
    updateButton = makeButton("Update Now", kUpdateButtonStyle, containerWidget);
    cancelButton = makeButton("Cancel", kCancelButtonStyle, containerWidget);
    restartButton = makeButton("Restart", kRestartButtonStyle, containerWidget);
    websiteButton = makeButton("Website", kWebsiteButtonStyle, containerWidget);
    restartButton->hide();
    websiteButton->hide();
    buttonLayout->addStretch(0);
    buttonLayout->addWidget(updateButton);
    buttonLayout->addWidget(cancelButton);
    buttonLayout->addWidget(restartButton);
    buttonLayout->addWidget(websiteButton);
    buttonLayout->addStretch(0);

    mainLayout->addSpacing(5);
    mainLayout->addWidget(titleLabel);
    mainLayout->addSpacing(12);
    mainLayout->addWidget(notesCard);
    mainLayout->addSpacing(10);
    mainLayout->addWidget(statusLabel);
    mainLayout->addWidget(progressContainer);
    mainLayout->addSpacing(8);
    mainLayout->addLayout(buttonLayout, 0);
}

void UpdaterWindow::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    QTimer::singleShot(0, this, [this]() {
        QScreen *screen = QGuiApplication::primaryScreen();
        if (!screen)
            return;
        const QRect r = screen->availableGeometry();
        move(r.x() + r.width() - width() + 18, r.y() + r.height() - height() + 18);
    });
}
