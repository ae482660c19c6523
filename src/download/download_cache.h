#pragma once
#include <QByteArray>
#include <QString>

// A partial package kept for Retry and for a later run, with the validator
// (ETag or Last-Modified) of the response it came from: one entry per URL and
// expected SHA-256, in a directory of the data root only the elevated user
// can reach.
class DownloadCache
{
public:
    // The entry for this download; false when the cache directory cannot be made.
    bool open(const QString &dataRoot, const QString &url, const QString &sha256);
    QString partialPath() const { return base + QStringLiteral(".part"); }
    // How many bytes of the partial file may be resumed, and their validator;
    // 0 without one.
    qint64 resumableBytes(QByteArray *validator) const;
    void saveValidator(const QByteArray &validator) const;
    // The entry's files; its package has been used, or is of no use.
    void remove() const;
    // A complete package is never resumed.
    void forgetValidator() const;
    // Entries untouched for a week go at start.
    static void removeExpired(const QString &dataRoot);

private:
    QString base;
};
