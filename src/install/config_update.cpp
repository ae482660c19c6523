#include "install/config_update.h"

#include "install/ini_file.h"

#include <QDateTime>
#include <QDebug>
#include <QFileInfo>

bool updateConfigFile(const QString &configPath, const QString &newVersion, const QByteArray &packageConfig)
{
    qDebug() << "开始更新配置文件:" << configPath;
    IniFile ini;
    if (!QFileInfo(configPath).isFile()) {
        qWarning() << "配置文件不存在:" << configPath;
        qCritical() << "找不到配置文件";
        return false;
    }
    if (!ini.load(configPath)) {
        qCritical() << "配置文件无法读取，未修改";
        return false;
    }
    IniFile shipped;
    if (!packageConfig.isEmpty() && shipped.parse(packageConfig)) {
        for (const QStringList &entry : shipped.entries()) {
            if (ini.contains(entry[0], entry[1]))
                continue;
            ini.setValue(entry[0], entry[1], entry[2]);
            qDebug() << "配置文件新增:" << entry[0] + QLatin1Char('/') + entry[1];
        }
    }
    // Edited as text: entries of the product's own stay exactly as they are.
    const QString oldVersion = ini.value(QStringLiteral("App"), QStringLiteral("Version"));
    ini.setValue(QStringLiteral("App"), QStringLiteral("Version"), newVersion);
    ini.remove(QStringLiteral("Update"), QStringLiteral("LastPromptTime"));
    ini.remove(QStringLiteral("Update"), QStringLiteral("LastCheckTime"));
    ini.setValue(QStringLiteral("Update"), QStringLiteral("LastUpdateTime"),
                 QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    ini.setValue(QStringLiteral("Update"), QStringLiteral("LastUpdateVersion"), newVersion);
    if (!ini.save()) {
        qCritical() << "配置文件更新失败";
        return false;
    }
    qDebug() << "配置文件更新成功";
    qDebug() << "  旧版本:" << oldVersion;
    qDebug() << "  新版本:" << newVersion;
    return true;
}
