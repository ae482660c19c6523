#include "engine/update_engine.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QSettings>

bool UpdateEngine::updateConfigFile()
{
    qDebug() << "开始更新配置文件:" << configPath;
    if (!QFileInfo(configPath).isFile()) {
        qWarning() << "配置文件不存在:" << configPath;
        qCritical() << "找不到配置文件";
        return false;
    }

    QSettings settings(configPath, QSettings::IniFormat);
    const QString oldVersion = settings.value(QStringLiteral("App/Version")).toString();
    settings.setValue(QStringLiteral("App/Version"), newVersion);
    settings.remove(QStringLiteral("Update/LastPromptTime"));
    settings.remove(QStringLiteral("Update/LastCheckTime"));
    settings.setValue(QStringLiteral("Update/LastUpdateTime"),
                      QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    settings.setValue(QStringLiteral("Update/LastUpdateVersion"), newVersion);
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        qCritical() << "配置文件更新失败";
        return false;
    }
    qDebug() << "配置文件更新成功";
    qDebug() << "  旧版本:" << oldVersion;
    qDebug() << "  新版本:" << newVersion;
    return true;
}
