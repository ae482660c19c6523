#include "install/apply_journal.h"

#include "platform/platform.h"
#include "platform/native_path.h"

#include <QDebug>
#include <QFileInfo>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

bool ApplyJournal::write() const
{
    QJsonObject o{{QStringLiteral("phase"), phase},           {QStringLiteral("installDir"), installDir},
                  {QStringLiteral("backupDir"), backupDir},   {QStringLiteral("oldVersion"), oldVersion},
                  {QStringLiteral("newVersion"), newVersion}, {QStringLiteral("added"), QJsonArray::fromStringList(added)}};
    if (copiesRecorded) {
        QJsonObject files;
        for (auto c = copies.cbegin(); c != copies.cend(); ++c)
            files.insert(c.key(), QJsonObject{{QStringLiteral("size"), c->size},
                                              {QStringLiteral("sha256"), QString::fromLatin1(c->sha256)}});
        o.insert(QStringLiteral("files"), files);
    }
    // Flushed, renamed over the old one, and the rename flushed with its directory.
    QSaveFile f(pathFor(backupDir));
    return f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(o).toJson()) > 0 && f.commit()
           && platform::flushDirectory(platformPath(QFileInfo(f.fileName()).absolutePath()));
}

bool ApplyJournal::read(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    phase = o.value(QStringLiteral("phase")).toString();
    installDir = o.value(QStringLiteral("installDir")).toString();
    backupDir = o.value(QStringLiteral("backupDir")).toString();
    oldVersion = o.value(QStringLiteral("oldVersion")).toString();
    newVersion = o.value(QStringLiteral("newVersion")).toString();
    added.clear();
    for (const QJsonValue &v : o.value(QStringLiteral("added")).toArray())
        added << v.toString();
    copies.clear();
    copiesRecorded = o.value(QStringLiteral("files")).isObject();
    const QJsonObject files = o.value(QStringLiteral("files")).toObject();
    for (auto c = files.constBegin(); c != files.constEnd(); ++c)
        copies.insert(c.key(), Copy{qint64(c->toObject().value(QStringLiteral("size")).toDouble(-1)),
                                    c->toObject().value(QStringLiteral("sha256")).toString().toLatin1(), std::string()});
    return !phase.isEmpty();
}
