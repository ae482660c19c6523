#pragma once
#include <QByteArray>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QFile;
class SignatureCheck;
class QNetworkAccessManager;
class QNetworkReply;

// One package transfer on a thread of its own: the bytes never pass through
// the GUI thread, so a busy network or a slow disk cannot hold up the window.
class PackageTransfer : public QObject
{
    Q_OBJECT
public:
    enum Outcome { Completed, NetworkFailed, SaveFailed };

    // Writes into file, already open; hashes what it writes when hashing, and
    // feeds it to the signature's prehash when one is given.
    PackageTransfer(QFile *file, bool hashing, SignatureCheck *prehash = nullptr);

    void start(const QString &url, int transferTimeoutMs);
    // Ends the transfer without a further signal.
    void abort();

signals:
    void lengthKnown(qint64 length);
    void progress(qint64 received, qint64 total);
    void ended(int outcome, QString errorText, qint64 received, QByteArray sha256);

private:
    bool writeAvailable();
    void onProgress(qint64 received, qint64 total);
    void onFinished();
    void end(Outcome outcome, const QString &errorText);

    QFile *file;
    bool hashing;
    SignatureCheck *prehash;
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    QCryptographicHash hash{QCryptographicHash::Sha256};
    qint64 written = 0;
    qint64 reportedPermille = -1;
    QElapsedTimer sinceReport;
};
