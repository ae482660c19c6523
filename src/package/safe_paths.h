#pragma once

#include <QByteArray>
#include <QString>

// Why a name in a package, a manifest or a journal could land outside the
// installation (absolute, a drive letter, ".." as a part); empty when it cannot.
QString unsafeName(const QString &name);
// The same for a path that a manifest or a file list names: also every part a
// name, spelt one way only (no empty or "." part, no backslash), so that rules
// on names compare what Windows and POSIX would open.
QString unplainPath(const QString &path);

// SHA-256 of a file (hex); empty when it cannot be read.
QByteArray fileSha256(const QString &path);

// The first part of rel below root that is a link, if any: a path through it
// would land outside the installation.
QString linkOnTheWay(const QString &root, const QString &rel);
