#pragma once
#include <QFile>
#include <QMap>
#include <QString>

#include <atomic>
#include <functional>

// The customer's settings at the top of the installation: never written over
// by a package, whose copy only adds the keys the customer's lacks.
inline bool isConfigName(const QString &name)
{
    return name.compare(QLatin1String("config.ini"), Qt::CaseInsensitive) == 0;
}

// What a package holds, read in full from the archive.
struct PackageContents
{
    QMap<QString, qint64> files; // path inside the package (forward slashes) -> size
    qint64 unpackedSize = 0;
};

// The package opened once and kept open: the bytes unpacked are the bytes
// checked, whatever happens to its path in between. The check reads every
// entry to its end, which checks its CRC; the package passes only when every
// name stays inside the target directory and the main program, if the package
// holds it, lies at the top level.
class CheckedPackage
{
public:
    bool open(const QString &zipPath);
    void close();
    // The file itself: the download writes the package here and it is never
    // reopened by name, so the bytes hashed are the bytes checked and unpacked.
    QFile &storage() { return file; }
    bool isOpen() const { return file.isOpen(); }
    // Reads every entry to its end; contents() holds what it found.
    bool check(const QString &mainProgramName, QString *reason, const std::atomic<bool> *stop = nullptr);
    bool isChecked() const { return checked; }
    const PackageContents &contents() const { return held; }

    // Writes every file of the checked package below targetDir, each beside
    // its target and renamed over it, with ordinary modes (never the
    // package's owners or setuid bits). executable() decides the modes;
    // progress(done, total) follows the bytes written. A file that divert()
    // gives a taker for goes there instead of to the disk.
    using BlockSink = std::function<bool(const char *, size_t)>;
    bool unpack(const QString &targetDir, const std::function<bool(const QString &, int packageMode)> &executable,
                const std::function<void(qint64, qint64)> &progress, QString *reason,
                const std::function<BlockSink(const QString &)> &divert = {});

    // Every file of the checked package in archive order, its bytes in blocks
    // as they are read (never held whole): start(name) gives what takes them,
    // or nothing to pass the file by; false when a taker refuses.
    bool streamFiles(const std::function<BlockSink(const QString &)> &start, QString *reason);

private:
    QFile file;
    PackageContents held;
    bool checked = false;
};
