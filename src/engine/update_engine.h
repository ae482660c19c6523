#pragma once
#include "engine/apply_journal.h"
#include "engine/delta_apply.h"
#include "engine/download_cache.h"
#include "engine/engine_timings.h"
#include "engine/package_check.h"
#include "engine/progress_pacer.h"
#include "engine/signature.h"

#include <QFile>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class PackageTransfer;

// What tasklist says of an image name: shown, not shown, or no answer
// (missing, failed, or not within waitMs).
enum class ImageState { Running, Absent, Unknown };
ImageState imageState(const QString &imageName, int waitMs);
// Whether a process of that image name may run: true when tasklist shows it,
// and also when tasklist cannot be asked.
inline bool imageMayBeRunning(const QString &imageName, int waitMs)
{
    return imageState(imageName, waitMs) != ImageState::Absent;
}

class QThread;

// Downloads the update package and installs it on a worker thread; reports
// to the window only through its signals.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    explicit UpdateEngine(QObject *parent = nullptr);
    ~UpdateEngine() override;

    void setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl);
    // Optional SHA-256 of the package (hex); empty: not checked.
    void setExpectedSha256(const QString &hex) { expectedSha256 = hex.toLower(); }
    // Where the full package is, for when a delta does not fit the installation.
    void setFullDownloadUrl(const QString &url) { fullDownloadUrl = url; }
    // The publisher's keys (update-keys.pub, checked at start-up; empty: no
    // signature required) and a signature given in the update-info file.
    void setSignatureInputs(const QByteArray &keyFile, const QString &signatureText);
    // Undoes an interrupted apply of the installation holding that main
    // program, if any; false when it could not be undone (all is kept).
    bool recoverInstallation(const QString &mainProgram);
    void startDownload();
    void startInstall();
    void cancel();
    // Whether the installation's worker is at work (the product may be stopped).
    bool installing() const;
    // Blocks until an installation in progress has ended.
    void waitForInstall();

signals:
    void progressChanged(int percent, QString message);
    void installProgress(int percent, QString message);
    void statusChanged(QString status);
    void readyToInstall();
    void updateFinished(bool success, QString message);
    void errorOccurred(QString error);

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadEnded(int outcome, QString errorText, qint64 received, QByteArray sha256);
    void doInstallWork();

protected:
    // A new private directory named base plus a random part; empty on failure.
    static QString createFreshDirectory(const QString &base);
    // Whether the volume holds a backup of an installation taking total bytes.
    bool checkDiskSpace(qint64 total);
    void cleanupTempDir();
    void cleanupBackupDir();
    bool closeProcesses();
    bool createBackup();
    bool restoreBackup();
    bool extractPackage();
    // The main program is not running right before the first file is written.
    bool mainProgramStopped();
    bool updateConfigFile();
    // Undoes an apply that was interrupted (crash, kill, power cut) and clears
    // backups nothing will use; false when an interrupted apply could not be undone.
    bool recoverInterruptedApply(bool clearLoneBackups = true);
    // Backups without a journal and half-written files: logged and kept;
    // false when there are any.
    bool reportLeftovers(bool removeEmptyBackups);
    bool writeJournal(const QString &phase);
    // The checked package, opened and checked here if the download did not.
    bool packageReady();

    void setTimings(const EngineTimings &t) { timings = t; }

    QString appPath;
    QString newVersion;
    QString downloadUrl;
    QString tempDir;
    QString zipPath;
    QString backupDir;
    QString appDir;

public:
    // Read by the window (GUI thread) while the pipeline may write it.
    std::atomic<bool> isRunning{false};

protected:
    std::atomic<bool> cancelled{false};
    QThread *workerThread = nullptr;
    QString configPath;

    // Bytes available to this user on the volume holding a path; negative
    // when unknown. Replaceable so tests can pose as a nearly full disk.
    std::function<qint64(const QString &)> availableBytes;
    // The downloaded package, open from its check to its unpack.
    CheckedPackage package;
    SignatureCheck signature;
    DeltaApply deltaApply;
    QString fullDownloadUrl;
    // What the apply adds to the installation; the backup holds what it
    // replaces or deletes.
    QStringList addedFiles;
    // The backup's copies as they reached the disk (size, SHA-256); none
    // recorded: a journal of an older updater, restored as it stands.
    QMap<QString, ApplyJournal::Copy> backupCopies;
    bool backupCopiesRecorded = false;

private:
    void discardPartialFile();
    void stopTransfer();
    void failDownloadSave();
    // Refused like a damaged package: the window offers Retry.
    void failIntegrity();
    void checkPackageInBackground();
    // Fetches <download_url>.minisig when a signature is required and none was given.
    void fetchSignatureThenCheck();
    void beginTransfer(qint64 installationBytes);
    // Runs work on a thread held in slot, then done on this object's thread,
    // unless a cancel or a newer run came first.
    template <typename Work, typename Done>
    void runOffThread(QThread *&slot, Work work, Done done);
    void checkWorkDirSpace(qint64 length);
    void createTempDir();
    bool enoughSpaceFor(const PackageContents &contents, qint64 installedBytes);

    EngineTimings timings;
    // The package is written here (in the download cache) while it arrives,
    // and stays there, open, until the unpack: zipPath names it once complete.
    QFile &partialFile = package.storage();
    DownloadCache cache;
    qint64 receivedBytes = 0;
    // The transfer in progress (none between transfers) and the one thread
    // every transfer runs on.
    PackageTransfer *transfer = nullptr;
    QThread *downloadThread = nullptr;
    ProgressPacer downloadPacer;
    qint64 installedBytes = 0; // measured by the disk-space check at the start
    QString expectedSha256;
    // Reads the downloaded package off the GUI thread.
    QThread *checkThread = nullptr;
    // Measures the installation before the transfer begins.
    QThread *sizeThread = nullptr;
    QString tempBase;          // the work directory's name before any clash
    bool tempDirRemoved = false;
    bool backupDirMade = false;
    // An interrupted apply could not be undone: no update may go over it.
    bool recoveryFailed = false;
    // Set once the backup (or the package) holds what exists nowhere else:
    // an incomplete restore, or a failed one. No later clean-up of this
    // process may remove it.
    std::atomic<bool> keepBackupDir{false};
    std::atomic<bool> keepTempDir{false};
};
