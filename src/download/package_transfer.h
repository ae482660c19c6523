#pragma once
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include "platform/sha256.h"

#include <optional>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class SignatureCheck;

// One package transfer on a thread of its own: the bytes never pass through
// the GUI thread, so a busy network or a slow disk cannot hold up the window.
// A broken connection is resumed with a byte range, as long as the server
// named a validator (ETag or Last-Modified) that proves it is the same file.
class PackageTransfer : public QObject
{
    Q_OBJECT
public:
    enum Outcome { Completed, NetworkFailed, SaveFailed };

    // Writes into file, already open; hashes what it writes when hashing, and
    // feeds it to the signature's prehash when one is given. retryPauses: the
    // waits before each further try of a broken transfer.
    PackageTransfer(QFile *file, bool hashing, SignatureCheck *prehash = nullptr,
                    const QVector<int> &retryPauses = QVector<int>());

    // Starts at byte `offset` of the file (what an earlier run left) when a
    // validator of that earlier response is known; else from the start.
    void start(const QString &url, int transferTimeoutMs, qint64 offset = 0, const QByteArray &validator = QByteArray());
    // Ends the transfer without a further signal.
    void abort();

signals:
    void lengthKnown(qint64 length);
    void progress(qint64 received, qint64 total);
    // The validator of the file being fetched, to keep beside the partial file.
    void validatorKnown(QByteArray validator);
    void ended(int outcome, QString errorText, qint64 received, QByteArray sha256);
    // A broken transfer is tried again: the try'th of tries.
    void retrying(int attempt, int tries);

private:
    void request();
    bool acceptResponse();
    void restartFromZero();
    bool writeAvailable();
    void onProgress(qint64 received, qint64 total);
    void onFinished();
    void end(Outcome outcome, const QString &errorText);
    // A 206 for another offset than the one asked.
    void misranged();
    // The next try after pause ms, from what was written; one must be left.
    void tryAgain(const QString &why, qint64 pause);

    QFile *file;
    bool hashing;
    SignatureCheck *prehash;
    QVector<int> retryPauses;
    QString url;
    int timeoutMs = 0;
    QByteArray validator;
    int tries = 0;
    bool rangeRefused = false;
    bool responseChecked = false;
    qint64 requestOffset = 0; // bytes already written when this request began
    qint64 expectedTotal = 0; // the whole file's length, when the server named it
    QNetworkAccessManager *manager = nullptr;
    QNetworkReply *reply = nullptr;
    std::optional<platform::Sha256> hash{std::in_place};
    qint64 written = 0;
    qint64 reportedPermille = -1;
    QElapsedTimer sinceReport;
    QStringList certificateProblems; // what TLS said of the server's certificate
};
