#include "platform/native_path.h"

#include <QFile>

std::string platformPath(const QString &path)
{
#ifdef Q_OS_WIN
    return path.toStdString();
#else
    return QFile::encodeName(path).toStdString();
#endif
}
