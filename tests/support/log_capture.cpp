#include "log_capture.h"

#include <QMutexLocker>

namespace {
LogCapture *active = nullptr;
}

LogCapture::LogCapture()
{
    active = this;
    previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

void LogCapture::handler(QtMsgType, const QMessageLogContext &, const QString &msg)
{
    if (active)
        active->add(msg);
}

void LogCapture::add(const QString &event)
{
    QMutexLocker lock(&mutex);
    list << event;
}

QStringList LogCapture::events() const
{
    QMutexLocker lock(&mutex);
    return list;
}

void LogCapture::clear()
{
    QMutexLocker lock(&mutex);
    list.clear();
}
