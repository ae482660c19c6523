#pragma once
#include <QString>
#include <QStringList>

class QCommandLineParser;

// File name of the product's main program, compared without regard to case.

// What the product's main program hands over in the update-info file and on
// the command line.
struct UpdateInfo
{
    QString appPath;
    QString newVersion;
    QString downloadUrl;
    QString memo;
    QString mode;
    // Optional SHA-256 of the package; when set, 64 hex digits (checked).
    QString sha256;
    bool sha256Given = false;
    // A minisign signature of the package, instead of <download_url>.minisig.
    QString signature;
    QByteArray publisherKeys;
    // Optional: the full package, used when a delta does not fit the installation,
    // with its own SHA-256 and signature (sha256 and signature prove the delta only).
    QString fullDownloadUrl;
    QString fullSha256;
    bool fullSha256Given = false;
    QString fullSignature;
    // The version config.ini names before the update, for the run's record.
    QString installedVersion;
    // Directory written beside the update-info file, removed shortly after start.
    QString companionPath;
};

// Registers the updater's options and the help option on the parser.
void setupCommandLine(QCommandLineParser &parser);

// Reads the update-info file named by -i and deletes it. Logs and returns false
// on a missing option, an unreadable file or a document that is no JSON object.
bool readUpdateInfo(const QCommandLineParser &parser, UpdateInfo &info);

// The checks made once the working directory is the updater's own.
bool checkUpdateInfo(const UpdateInfo &info);

// Removes the companion directory after firstDelayMs, retrying once after
// retryDelayMs more when the first attempt fails. Runs inside the event loop.
// Refuses links, and directories that are, hold or lie in a protected one.
void scheduleCompanionRemoval(const QString &companionPath, const QStringList &protectedDirs = QStringList(),
                              int firstDelayMs = 2000, int retryDelayMs = 1000);
