#pragma once
#include <QMap>
#include <QString>

#include <atomic>

// What a package holds, read in full from the archive.
struct PackageContents
{
    QMap<QString, qint64> files; // path inside the package (forward slashes) -> size
    qint64 unpackedSize = 0;
};

// Reads every entry of the ZIP package to its end, which checks its CRC. The
// package passes only when every name stays inside the target directory and
// the main program, if the package holds it, lies at the top level. False with
// the broken rule in *reason. Stops early, failing, once *stop is set.
bool checkPackage(const QString &zipPath, const QString &mainProgramName, PackageContents *contents, QString *reason,
                  const std::atomic<bool> *stop = nullptr);
