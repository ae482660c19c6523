#include "startup/run_record.h"

#include "farwen_version.h"

#include "platform/platform.h"
#include "platform/native_path.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QRegularExpression>
#include <QSaveFile>

namespace runrecord {

namespace {

const int kKeptRuns = 20;
const qint64 kKeptBytes = 10 << 20;
const int kMaxLineChars = 4000;

QMutex mutex;
QFile logFile;
QStringList pending; // lines before the log is open
QStringList problems; // the last lines that say what failed
QString resultPath;
qint64 logged = 0; // bytes of this run's log

} // namespace

QString bounded(const QString &line)
{
    QString out = line;
    if (out.contains(QLatin1Char('@'))) {
        // Every part of an address's authority that ends in '@'; possessive, so linear.
        static const QRegularExpression credentials(QStringLiteral("://(?:[^/\\s\"@]*+@)++"));
        out.replace(credentials, QStringLiteral("://***@"));
    }
    if (out.size() > kMaxLineChars)
        out = out.left(kMaxLineChars) + QStringLiteral(" …（截断，共 %1 字符）").arg(out.size());
    return out;
}

void append(const QString &line)
{
    const QString stamped = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + QLatin1Char(' ') + line;
    QMutexLocker lock(&mutex);
    if (line.contains(QStringLiteral("失败")) || line.contains(QStringLiteral("错误")) || line.contains(QStringLiteral("不匹配")))
        problems = (problems << line).mid(qMax(0, problems.size() - 2));
    if (!logFile.isOpen()) {
        if (pending.size() < 1000)
            pending << stamped;
        return;
    }
    if (logged > kKeptBytes)
        return;
    const QByteArray bytes = stamped.toUtf8() + '\n';
    logged += bytes.size();
    logFile.write(logged > kKeptBytes ? QByteArray("日志已达 10 MiB，此后的行不再记录\n") : bytes);
    logFile.flush(); // a kill or a power cut keeps what was said up to there
}

bool open(const QString &dataRoot, const QStringList &arguments)
{
    const QString base = dataRoot + QStringLiteral("/FarwenUpdater");
    const QString dir = base + QStringLiteral("/logs");
    {
        // The updater's own folder, checked under the lock: the result goes
        // there even when the log cannot, and a killed save's name goes.
        QMutexLocker lock(&mutex);
        resultPath = base + QStringLiteral("/last-result.json");
        for (const QString &name : QDir(base).entryList({QStringLiteral("last-result.json.??????")}, QDir::Files | QDir::Hidden))
            platform::removeFileBelow(platformPath(base), platformPath(name));
    }
    if (!QFileInfo(dir).isDir() && !platform::createPrivateDirectory(platformPath(dir)))
        return false;
    if (!platform::untrustedEntry(platformPath(dir)).empty())
        return false;
    // The user who asked attaches the log to a ticket; nobody else passes.
    for (const QString &passage : {base, dir})
        platform::allowRequester(platformPath(passage), true);
    const QString name = QStringLiteral("update-%1.log").arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss-zzz")));
    // The newest runs are kept, as many as fit.
    qint64 total = 0;
    int kept = 1;
    const QFileInfoList logs = QDir(dir).entryInfoList({QStringLiteral("update-*.log")}, QDir::Files, QDir::Name | QDir::Reversed);
    for (const QFileInfo &old : logs) {
        total += old.size();
        if (++kept > kKeptRuns || total > kKeptBytes)
            QFile::remove(old.filePath());
    }
    QMutexLocker lock(&mutex);
    // Two runs in one millisecond: the second's name gets a number.
    for (int n = 0; n < 10 && !logFile.isOpen(); ++n) {
        logFile.setFileName(dir + QLatin1Char('/') + (n ? name.chopped(4) + QStringLiteral("-%1.log").arg(n) : name));
        logFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::NewOnly);
    }
    if (!logFile.isOpen())
        return false;
    if (!platform::allowRequester(platformPath(logFile.fileName()), false))
        logFile.write("the log cannot be opened to the user who asked\n");
    logFile.write(QStringLiteral("FarwenUpdater " FARWEN_UPDATER_VERSION "\n%1\n").arg(bounded(arguments.join(QLatin1Char(' ')))).toUtf8());
    for (const QString &line : pending)
        logFile.write(line.toUtf8() + '\n');
    pending.clear();
    logFile.flush();
    return true;
}

namespace {

void write(const QString &outcome, const QString &reason, const QString &message, const QString &fromVersion,
           const QString &toVersion)
{
    QMutexLocker lock(&mutex);
    if (resultPath.isEmpty())
        return;
    const QJsonObject o{{QStringLiteral("outcome"), outcome},
                        {QStringLiteral("reason"), reason},
                        {QStringLiteral("message"), message},
                        {QStringLiteral("detail"), outcome == QLatin1String("failed") ? problems.join(QLatin1Char('\n')) : QString()},
                        {QStringLiteral("from_version"), fromVersion},
                        {QStringLiteral("to_version"), toVersion},
                        {QStringLiteral("log"), logFile.isOpen() ? QDir::toNativeSeparators(logFile.fileName()) : QString()},
                        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}};
    QSaveFile f(resultPath);
    if (!(f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(o).toJson()) > 0 && f.commit()
          && platform::allowRequester(platformPath(resultPath), false))
        && logFile.isOpen())
        logFile.write("last-result.json cannot be written for the product\n");
}

} // namespace

void incomplete(const QString &fromVersion, const QString &toVersion)
{
    write(QStringLiteral("incomplete"), QStringLiteral("none"), QString(), fromVersion, toVersion);
}

void result(Outcome outcome, const QString &message, const QString &fromVersion, const QString &toVersion)
{
    write(outcome == Outcome::Installed ? QStringLiteral("success") : QStringLiteral("failed"),
          QString::fromLatin1(outcomes::row(outcome).reason), message, fromVersion, toVersion);
}

} // namespace runrecord
