#pragma once
// UpdateEngine conducts a run: the download stage, the package's check, the
// install stage. It holds the run's state; each stage does its own work.
#include "download/package_download.h"
#include "install/backup_restore.h"
#include "install/install_timings.h"
#include "install/process_shutdown.h"
#include "shared/outcomes.h"
#include "shared/progress_pacer.h"
#include "package/delta_apply.h"
#include "package/checked_package.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>

class QThread;

// Every fixed wait of a run, in milliseconds: the installation's, then the
// engine's own. The product always uses the defaults; tests may shorten them
// through UpdateEngine::setTimings.
struct EngineTimings : InstallTimings
{
    int cancelThreadWait = 5000;
    int transferTimeout = 30000;     // no byte of the download for this long
    int retryPause = 1000;           // before resuming a broken transfer; doubled each time
    int retries = 5;
};

// Downloads the update package and installs it off the GUI thread; reports
// to the window only through its signals.
class UpdateEngine : public QObject
{
    Q_OBJECT
public:
    explicit UpdateEngine(QObject *parent = nullptr);
    ~UpdateEngine() override;

    void setUpdateInfo(const QString &appPath, const QString &newVersion, const QString &downloadUrl);
    // Optional SHA-256 of the package (hex); empty: not checked.
    void setExpectedSha256(const QString &hex) { download.expectedSha256 = hex.toLower(); }
    // Where the full package is, for when a delta does not fit the installation,
    // and its own SHA-256 and signature (empty: none given).
    void setFullDownloadUrl(const QString &url, const QString &sha256 = QString(), const QString &signatureText = QString())
    {
        download.fullUrl = url;
        download.fullSha256 = sha256.toLower();
        download.fullSignature = signatureText.toUtf8();
    }
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
    // A failure: its message, and the outcome that the window and the run record look up.
    void errorOccurred(QString error, Outcome outcome);

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onDownloadEnded(int outcome, QString errorText, qint64 received, QByteArray sha256);

protected:
    // The steps of a run, each delegating to its stage.
    // Whether the volume holds a backup of an installation taking total bytes.
    bool checkDiskSpace(qint64 total);
    void cleanupTempDir();
    void cleanupBackupDir() { backup.discard(); }
    bool createBackup();
    bool restoreBackup();
    bool extractPackage();
    bool updateConfigFile();
    bool writeJournal(const QString &phase) { return backup.writeJournal(phase); }

    void setTimings(const EngineTimings &t) { timings = t; }

    // The run's input.
    QString appPath;
    QString appDir;
    QString configPath;
    QString newVersion;

public:
    // Read by the window (GUI thread) while the pipeline may write it.
    std::atomic<bool> isRunning{false};

protected:
    // The run's state: what is running now, and what may be kept.
    std::atomic<bool> cancelled{false};
    // One thread per kind of work off the GUI thread; none while idle.
    QThread *sizeThread = nullptr;    // measures the installation before the transfer
    QThread *checkThread = nullptr;   // reads the downloaded package
    QThread *installThread = nullptr; // stops the product, backs up, unpacks
    // The download stage, and the work directory it writes the package from.
    PackageDownload download;
    QString tempDir;
    QString zipPath;
    // The downloaded package, open from its check to its unpack.
    CheckedPackage package;
    DeltaApply deltaApply;
    // Files of the installed version that a full package no longer ships.
    QStringList droppedPaths;
    // The package's own config.ini, for the keys the customer's lacks.
    QByteArray shippedConfig;
    // The install stage's backup, with its own "keep".
    InstallationBackup backup;
    // Set when the package may exist nowhere else (a failed restore).
    std::atomic<bool> keepTempDir{false};
    // An interrupted apply could not be undone: no update may go over it.
    bool recoveryFailed = false;

    // Bytes available to this user on the volume holding a path; negative
    // when unknown. Replaceable so tests can pose as a nearly full disk.
    std::function<qint64(const QString &)> availableBytes;

private:
    void discardPartialFile();
    void fail(Outcome outcome, const QString &detail = QString());
    void failDownloadSave();
    // Refused like a damaged package: the window offers Retry.
    void failIntegrity();
    void checkPackageInBackground();
    void beginTransfer(qint64 installationBytes);
    // Runs work on a thread held in slot, then done on this object's thread,
    // unless a cancel or a newer run came first.
    template <typename Work, typename Done>
    void runOffThread(QThread *&slot, Work work, Done done);
    void checkWorkDirSpace(qint64 length);
    void createTempDir();
    bool enoughSpaceFor(const PackageContents &contents, qint64 installedBytes);
    void emitInstallProgress(int percent, const QString &message) { emit installProgress(percent, message); }

    EngineTimings timings;
    // The package is written here (in the download cache) while it arrives,
    // and stays there, open, until the unpack: zipPath names it once complete.
    QFile &partialFile = package.storage();
    qint64 receivedBytes = 0;
    ProgressPacer downloadPacer;
    qint64 installedBytes = 0; // measured by the disk-space check at the start
    QString tempBase;          // the work directory's name before any clash
    bool tempDirRemoved = false;
};
