#include "platform/tool_path.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

QString toolPath(platform::Tool tool)
{
    const QString name = QString::fromStdString(platform::toolProgram(tool));
    if (name.isEmpty() || QFileInfo(name).isAbsolute())
        return name; // Windows' own, never searched for
    if (!QStandardPaths::findExecutable(name).isEmpty())
        return name;
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    if (QCoreApplication::instance() && QFileInfo(beside).isExecutable())
        return beside;
    return name;
}
