#pragma once
// The download stage: the transfer and its thread, the resume cache, the
// signature and its fetch, the SHA-256 and the fallback to the full package.
// What it gives on: one complete package file, its hash and signature checked.
#include "download/download_cache.h"
#include "download/signature.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include <functional>

class PackageTransfer;
class QFile;
class QThread;

class PackageDownload : public QObject
{
    Q_OBJECT
public:
    explicit PackageDownload(QObject *parent = nullptr);
    ~PackageDownload() override;

    QString url;
    QString expectedSha256; // hex, lower case; empty: not checked
    // The full package, for a delta that does not fit, with its own proof:
    // the delta's SHA-256 and signature are the delta's alone.
    QString fullUrl;
    QString fullSha256;
    QByteArray fullSignature; // none: <fullUrl>.minisig when keys are installed
    SignatureCheck signature;
    DownloadCache cache;

    // The cache entry of this download, and file opened on its partial package.
    bool openCache(const QString &dataRoot, QFile &file);
    // Starts writing into file (open), from where an earlier try stopped.
    void start(QFile *file, int transferTimeoutMs, const QVector<int> &retryPauses);
    // Ends the transfer and a signature fetch; nothing more of them is passed on.
    void stop();
    // Whether the complete package at path, of size bytes with that SHA-256,
    // is the one named.
    bool received(const QString &path, qint64 size, const QByteArray &sha256) const;
    // Fetches <url>.minisig when a signature is required and none was given;
    // done(false, error) when it cannot be had.
    void fetchSignature(int timeoutMs, const std::function<void(bool ok, const QString &error)> &done);
    // The delta does not fit: the full package next, once.
    void fallBackToFull(const QString &why);

signals:
    // Only the current transfer's.
    void lengthKnown(qint64 length);
    void progress(qint64 received, qint64 total);
    void ended(int outcome, QString errorText, qint64 received, QByteArray sha256);
    void retrying(int attempt, int tries);

private:
    PackageTransfer *transfer = nullptr;
    // Tells the current transfer's signals from those of one that was stopped.
    quint64 generation = 0;
};
