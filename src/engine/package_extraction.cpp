#include "engine/update_engine.h"

#include "platform/tool_path.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace {

const qint64 kMinimumArchiveSize = 100;

QStringList topLevelFiles(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::NoDotAndDotDot);
}

QString quotedForPowerShell(const QString &path)
{
    return QDir::toNativeSeparators(path).replace(QLatin1Char('\''), QStringLiteral("''"));
}

// The Expand-Archive command line, Base64 of the script's UTF-16LE bytes.
QString encodedExpandCommand(const QString &zipPath, const QString &targetDir)
{
    const QString script =
        QStringLiteral("try { Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force -ErrorAction Stop; "
                       "exit 0 } catch { Write-Error $_; exit 1 }")
            .arg(quotedForPowerShell(zipPath), quotedForPowerShell(targetDir));
    QByteArray utf16;
    utf16.reserve(script.size() * 2);
    for (const QChar c : script) {
        utf16.append(static_cast<char>(c.unicode() & 0xff));
        utf16.append(static_cast<char>(c.unicode() >> 8));
    }
    return QString::fromLatin1(utf16.toBase64());
}

} // namespace

bool UpdateEngine::extractPackage()
{
    qDebug() << "=== 开始解压更新包 ===";
    const QFileInfo package(zipPath);
    if (!package.exists()) {
        qDebug() << "错误：临时文件不存在:" << zipPath;
        return false;
    }
    qDebug() << "更新包大小:" << package.size() << "字节";
    if (package.size() < kMinimumArchiveSize) {
        qDebug() << "错误：更新包文件太小，可能损坏";
        return false;
    }

    const QStringList before = topLevelFiles(appDir);
    qDebug() << "解压前文件数:" << before.size();

    bool cmdSucceeded = false;
    QString errorText;
    {
        QProcess powerShell;
        powerShell.setWorkingDirectory(appDir);
        powerShell.start(toolPath(platform::Tool::PowerShell),
                         {QStringLiteral("-NoProfile"), QStringLiteral("-EncodedCommand"),
                          encodedExpandCommand(zipPath, appDir)},
                         QIODevice::ReadWrite);
        if (powerShell.waitForFinished(timings.powerShellWait)) {
            const int code = powerShell.exitCode();
            const QString out = QString::fromLocal8Bit(powerShell.readAllStandardOutput());
            const QString err = QString::fromLocal8Bit(powerShell.readAllStandardError());
            qDebug() << "PowerShell退出码:" << code;
            qDebug() << "PowerShell输出:" << out;
            qDebug() << "PowerShell错误:" << err;
            if (code == 0 && powerShell.exitStatus() == QProcess::NormalExit)
                cmdSucceeded = true;
            else
                errorText = err;
        } else if (powerShell.state() != QProcess::NotRunning) {
            // Never let two tools write into the installation at once.
            powerShell.kill();
            powerShell.waitForFinished(-1);
        }
    }

    if (!cmdSucceeded) {
        qDebug() << "尝试使用tar解压";
        QProcess tar;
        tar.setWorkingDirectory(appDir);
        tar.start(toolPath(platform::Tool::Tar),
                  {QStringLiteral("-xf"), zipPath, QStringLiteral("-C"), appDir}, QIODevice::ReadWrite);
        if (tar.waitForFinished(timings.tarWait)) {
            qDebug() << "tar退出码:" << tar.exitCode();
            cmdSucceeded = tar.exitStatus() == QProcess::NormalExit && tar.exitCode() == 0;
        }
    }

    for (int p = 80; p <= 95; p += 3) {
        emit installProgress(p, QStringLiteral("Extracting files..."));
        QThread::msleep(timings.extractProgressSleep);
    }

    const QStringList after = topLevelFiles(appDir);
    qDebug() << "解压后文件数:" << after.size();
    bool newFilesFound = false;
    for (const QString &name : after) {
        if (!before.contains(name, Qt::CaseSensitive)) {
            qDebug() << "新增文件:" << name;
            newFilesFound = true;
        }
    }
    const bool result = cmdSucceeded || newFilesFound;
    qDebug() << "解压结果: 命令成功=" << cmdSucceeded << ", 新增文件=" << newFilesFound << ", 最终结果=" << result;
    if (!result && !errorText.isEmpty())
        qDebug() << "解压错误:" << errorText;
    return result;
}
