#include "engine/update_engine.h"

#include "platform/tool_process.h"
#include "platform/tool_path.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

namespace {

const qint64 kMinimumArchiveSize = 100;

// Inside '...' PowerShell ends the string at any of these quotes; each is
// kept literal by doubling it.
QString quotedForPowerShell(const QString &path)
{
    QString out;
    for (const QChar c : QDir::toNativeSeparators(path)) {
        out += c;
        if (c == QLatin1Char('\'') || (c.unicode() >= 0x2018 && c.unicode() <= 0x201B))
            out += c;
    }
    return out;
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
    const QFileInfo packageFile(zipPath);
    if (!packageFile.exists()) {
        qDebug() << "错误：临时文件不存在:" << zipPath;
        return false;
    }
    qDebug() << "更新包大小:" << packageFile.size() << "字节";
    if (packageFile.size() < kMinimumArchiveSize) {
        qDebug() << "错误：更新包文件太小，可能损坏";
        return false;
    }

    bool cmdSucceeded = false;
    {
        ToolProcess powerShell;
        powerShell.setWorkingDirectory(appDir);
        powerShell.start(toolPath(platform::Tool::PowerShell),
                         {QStringLiteral("-NoProfile"), QStringLiteral("-EncodedCommand"),
                          encodedExpandCommand(zipPath, appDir)},
                         QIODevice::ReadWrite);
        if (powerShell.waitForFinished(timings.powerShellWait)) {
            const int code = powerShell.exitCode();
            qDebug() << "PowerShell退出码:" << code;
            qDebug() << "PowerShell输出:" << QString::fromLocal8Bit(powerShell.readAllStandardOutput());
            qDebug() << "PowerShell错误:" << QString::fromLocal8Bit(powerShell.readAllStandardError());
            cmdSucceeded = code == 0 && powerShell.exitStatus() == QProcess::NormalExit;
        } else if (powerShell.state() != QProcess::NotRunning) {
            // Never let two tools write into the installation at once.
            powerShell.kill();
            powerShell.waitForFinished(-1);
        }
    }

    if (!cmdSucceeded) {
        qDebug() << "尝试使用tar解压";
        cmdSucceeded = runTar();
    }

    for (int p = 80; p <= 95; p += 3) {
        emit installProgress(p, QStringLiteral("Extracting files..."));
        QThread::msleep(timings.extractProgressSleep);
    }

    // Only what is on disk counts: every file of the package, at its size.
    bool complete = cmdSucceeded;
    if (complete && package.files.isEmpty()) {
        QString reason;
        complete = checkPackage(zipPath, QFileInfo(appPath).fileName(), &package, &reason);
        if (!complete)
            qDebug() << "解压错误:" << reason;
    }
    for (auto it = package.files.cbegin(); complete && it != package.files.cend(); ++it) {
        const QFileInfo unpacked(appDir + QLatin1Char('/') + it.key());
        if (!unpacked.isFile() || unpacked.size() != it.value()) {
            qDebug() << "解压错误: 文件不完整" << it.key();
            complete = false;
        }
    }
    qDebug() << "解压结果: 命令成功=" << cmdSucceeded << ", 最终结果=" << complete;
    return complete;
}

bool UpdateEngine::runTar()
{
    // Verbose, into a file in the work directory: each entry is a sign of life,
    // so only a stalled tar is stopped. A pipe would wake this thread for every
    // line and slow tar down by a sixth.
    const QString logPath = QFileInfo(zipPath).absolutePath() + QStringLiteral("/tar-output.log");
    ToolProcess tar;
    tar.setWorkingDirectory(appDir);
    tar.setProcessChannelMode(QProcess::MergedChannels);
    tar.setStandardOutputFile(logPath, QIODevice::Truncate);
    tar.start(toolPath(platform::Tool::Tar), {QStringLiteral("-xvf"), zipPath, QStringLiteral("-C"), appDir},
              QIODevice::ReadOnly);
    QElapsedTimer idle;
    idle.start();
    qint64 logged = 0;
    while (!tar.waitForFinished(100) && tar.state() != QProcess::NotRunning) {
        const qint64 now = QFileInfo(logPath).size();
        if (now != logged) {
            logged = now;
            idle.restart();
        } else if (idle.elapsed() > timings.tarWait) {
            qDebug() << "tar无响应，已终止";
            tar.kill();
            tar.waitForFinished(-1);
        }
    }
    QFile log(logPath);
    if (log.open(QIODevice::ReadOnly)) {
        while (!log.atEnd()) {
            const QByteArray line = log.readLine().trimmed();
            if (!line.isEmpty() && !line.startsWith("x "))
                qDebug() << "tar错误:" << QString::fromLocal8Bit(line);
        }
        log.close();
    }
    log.remove();
    const bool ok = tar.exitStatus() == QProcess::NormalExit && tar.exitCode() == 0 && tar.error() != QProcess::FailedToStart;
    qDebug() << "tar退出码:" << tar.exitCode();
    return ok;
}
