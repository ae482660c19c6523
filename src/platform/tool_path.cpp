#include "platform/tool_path.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace {
QString testTools;
}

void useToolDirectory(const QString &dir)
{
    testTools = dir;
}

QString toolPath(platform::Tool tool)
{
    const QString name = QString::fromStdString(platform::toolProgram(tool));
    const QString double_ = testTools + QLatin1Char('/') + QFileInfo(name).fileName();
    if (!testTools.isEmpty() && QFileInfo(double_).isFile())
        return double_;
    if (name.isEmpty() || QFileInfo(name).isAbsolute())
        return name; // Windows' own, never searched for
    if (!QStandardPaths::findExecutable(name).isEmpty())
        return name;
    const QString beside = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    if (QCoreApplication::instance() && QFileInfo(beside).isExecutable())
        return beside;
    return name;
}
