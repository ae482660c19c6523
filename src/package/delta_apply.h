#pragma once
#include "delta/delta.h"

#include <QString>
#include <QStringList>

#include <functional>

class CheckedPackage;

// A delta package applied: the old files it patches or deletes must be the
// ones it was made against, every new file is rebuilt in the work directory
// and checked against its SHA-256 before anything is stopped, and then put in
// place whole.
class DeltaApply
{
public:
    // Whether the checked package is a delta (its manifest at the top).
    static bool isDelta(const CheckedPackage &package);

    enum Outcome { Ready, OldFilesDiffer, Broken };
    // Reads the manifest, compares the old files of the installation, and
    // rebuilds the new files below workDir. A manifest that would delete one
    // of the kept files (paths below installDir), or reach through a link, is
    // Broken.
    Outcome prepare(CheckedPackage &package, const QString &installDir, const QString &workDir, QString *reason,
                    const QStringList &kept = QStringList());
    // The manifest alone, by every rule that needs no installation: read,
    // plain paths only, and no delete of a kept file nor write of the keys.
    bool readManifest(CheckedPackage &package, QString *reason, const QStringList &kept);
    bool prepared() const { return ready; }
    // Every path the delta writes or deletes.
    template <typename Visit>
    void forEachPath(Visit visit) const
    {
        for (const delta::Entry &e : manifest.entries)
            visit(e.path);
    }
    void clear() { ready = false; }

    // Deletes what the delta deletes, then places every rebuilt file whole;
    // one that divert() gives a taker for goes there instead.
    bool place(const QString &installDir, const std::function<bool(const QString &, int)> &executable, QString *reason,
               const std::function<std::function<bool(const char *, size_t)>(const QString &)> &divert = {});

private:
    delta::Manifest manifest;
    QString rebuiltDir;
    // A patch of the customer's config.ini made against another copy of it.
    QStringList leftOut;
    bool ready = false;
};
