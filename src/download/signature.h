#pragma once
#include <QByteArray>
#include <QFile>
#include <QString>
#include <QVector>

#include <memory>

// The publisher's minisign signature over a package: Ed25519 over the whole
// file ("Ed") or over its BLAKE2b-512 ("ED", computed while the bytes
// arrive), the key id, and the global signature over the trusted comment,
// which must name the version being installed.
class SignatureCheck
{
public:
    SignatureCheck();
    ~SignatureCheck();

    // The contents of update-keys.pub: one or two minisign public keys.
    // False, with the reason, when it is malformed.
    bool setKeys(const QByteArray &keyFile, QString *reason);
    bool required() const { return !keys.isEmpty(); }
    // The .minisig text given in the update-info file; else the one fetched
    // after the package, for that package only.
    void setSignature(const QByteArray &text) { given = signature = text; }
    void useFetched(const QByteArray &text) { signature = text; }
    const QByteArray &signatureText() const { return signature; }

    // A new package: its bytes follow in order, as they are written.
    void beginPackage();
    void addPackageData(const char *data, qint64 size);

    // Whether the open package carries a good signature of one of the keys
    // for newVersion, and newVersion is no older than installedVersion.
    bool verify(QFile &package, const QString &newVersion, const QString &installedVersion,
                QString *reason) const;

private:
    struct Key
    {
        QByteArray id, publicKey;
    };
    QVector<Key> keys;
    QByteArray given, signature;
    struct Prehash;
    std::unique_ptr<Prehash> prehash;
};

// The publisher's keys installed beside the updater (update-keys.pub): empty
// when there are none. False, logged, when the file is malformed or others
// could change it.
bool readPublisherKeys(const QString &updaterDir, QByteArray *keyFile);
