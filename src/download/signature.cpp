#include "download/signature.h"

#include "download/versions.h"

#include "platform/platform.h"
#include "platform/native_path.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRegularExpression>
#include <QStringList>

#include <sodium.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// The BLAKE2b of the package, computed on a thread of its own while the
// bytes arrive: the transfer hands each piece over and goes on.
struct SignatureCheck::Prehash
{
    crypto_generichash_state state;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<QByteArray> pieces;
    bool hashing = false, stopping = false;
    std::thread worker;

    void run()
    {
        std::unique_lock<std::mutex> l(lock);
        for (;;) {
            changed.wait(l, [this] { return stopping || !pieces.empty(); });
            if (pieces.empty())
                return;
            const QByteArray piece = pieces.front();
            pieces.pop_front();
            hashing = true;
            l.unlock();
            crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(piece.constData()),
                                      static_cast<unsigned long long>(piece.size()));
            l.lock();
            hashing = false;
            changed.notify_all();
        }
    }
    void add(const char *data, qint64 size)
    {
        std::unique_lock<std::mutex> l(lock);
        if (!worker.joinable())
            worker = std::thread([this] { run(); });
        changed.wait(l, [this] { return pieces.size() < 16; }); // at most 16 MiB waiting
        pieces.emplace_back(data, int(size));
        changed.notify_all();
    }
    // Waits until every piece handed over is in the state.
    void drain()
    {
        std::unique_lock<std::mutex> l(lock);
        changed.wait(l, [this] { return pieces.empty() && !hashing; });
    }
    ~Prehash()
    {
        {
            std::lock_guard<std::mutex> l(lock);
            stopping = true;
            pieces.clear();
        }
        changed.notify_all();
        if (worker.joinable())
            worker.join();
    }
};

namespace {

const int kKeyIdSize = 8;

// The lines that carry data: comments, blank lines and '#' lines left out.
QList<QByteArray> dataLines(QByteArray text)
{
    if (text.startsWith("\xEF\xBB\xBF")) // a byte-order mark some editors write
        text.remove(0, 3);
    QList<QByteArray> out;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.isEmpty() && !line.startsWith('#') && !line.startsWith("untrusted comment:"))
            out << line;
    }
    return out;
}

// A key id as minisign prints it: a little-endian number in upper-case hex.
QString keyIdText(const QByteArray &id)
{
    QByteArray reversed(id);
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

} // namespace

SignatureCheck::SignatureCheck()
    : prehash(new Prehash)
{
    (void)!sodium_init(); // its result is checked where keys are taken
    beginPackage();
}

SignatureCheck::~SignatureCheck() = default;

bool SignatureCheck::setKeys(const QByteArray &keyFile, QString *reason)
{
    keys.clear();
    if (sodium_init() < 0) { // keys that cannot be checked refuse the start
        *reason = QStringLiteral("libsodium无法初始化");
        return false;
    }
    for (const QByteArray &line : dataLines(keyFile)) {
        const QByteArray raw = QByteArray::fromBase64(line, QByteArray::AbortOnBase64DecodingErrors);
        if (raw.size() != 2 + kKeyIdSize + int(crypto_sign_PUBLICKEYBYTES) || !raw.startsWith("Ed")) {
            *reason = QStringLiteral("不是minisign公钥: ") + QString::fromLatin1(line.left(60));
            keys.clear();
            return false;
        }
        keys.append(Key{raw.mid(2, kKeyIdSize), raw.mid(2 + kKeyIdSize)});
    }
    if (keys.isEmpty() || keys.size() > 2) {
        *reason = QStringLiteral("公钥文件应有一到两个公钥，实有%1个").arg(keys.size());
        keys.clear();
        return false;
    }
    return true;
}

void SignatureCheck::beginPackage()
{
    signature = given;
    prehash->drain();
    crypto_generichash_init(&prehash->state, nullptr, 0, crypto_generichash_BYTES_MAX);
}

void SignatureCheck::addPackageData(const char *data, qint64 size)
{
    prehash->add(data, size);
}

bool SignatureCheck::verify(QFile &file, const QString &newVersion, const QString &installedVersion,
                            QString *reason) const
{
    const auto fail = [reason](const QString &why) {
        *reason = why;
        return false;
    };
    // untrusted comment, signature, trusted comment, global signature
    // Only line ends are stripped, as minisign does: a trailing blank of the
    // trusted comment is part of what was signed.
    QList<QByteArray> lines;
    for (QByteArray raw : signature.split('\n')) {
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (!raw.trimmed().isEmpty())
            lines << raw;
    }
    const QByteArray trustedPrefix = "trusted comment: ";
    if (lines.size() != 4 || !lines[0].startsWith("untrusted comment:") || !lines[2].startsWith(trustedPrefix))
        return fail(QStringLiteral("签名无法读取"));
    const QByteArray sig = QByteArray::fromBase64(lines[1].trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray global = QByteArray::fromBase64(lines[3].trimmed(), QByteArray::AbortOnBase64DecodingErrors);
    if (sig.size() != 2 + kKeyIdSize + int(crypto_sign_BYTES) || global.size() != int(crypto_sign_BYTES))
        return fail(QStringLiteral("签名无法读取"));
    const QByteArray algorithm = sig.left(2), keyId = sig.mid(2, kKeyIdSize), signatureBytes = sig.mid(2 + kKeyIdSize);
    if (algorithm != "Ed" && algorithm != "ED")
        return fail(QStringLiteral("签名算法未知: ") + QString::fromLatin1(algorithm.toHex()));
    const Key *key = nullptr;
    for (const Key &k : keys)
        if (k.id == keyId)
            key = &k;
    if (!key)
        return fail(QStringLiteral("签名的密钥未知: ") + keyIdText(keyId));
    const auto *pk = reinterpret_cast<const unsigned char *>(key->publicKey.constData());
    const auto *sigData = reinterpret_cast<const unsigned char *>(signatureBytes.constData());

    bool good = false;
    if (algorithm == "ED") { // the hash of the bytes as they arrived: no second pass
        prehash->drain();
        crypto_generichash_state state = prehash->state;
        unsigned char digest[crypto_generichash_BYTES_MAX];
        crypto_generichash_final(&state, digest, sizeof(digest));
        good = crypto_sign_verify_detached(sigData, digest, sizeof(digest), pk) == 0;
    } else {
        uchar *bytes = file.isOpen() && file.size() > 0 ? file.map(0, file.size()) : nullptr;
        good = (bytes || file.size() == 0)
               && crypto_sign_verify_detached(sigData, bytes, static_cast<unsigned long long>(file.size()), pk) == 0;
        if (bytes)
            file.unmap(bytes);
    }
    if (!good)
        return fail(QStringLiteral("签名不正确"));

    const QByteArray trusted = lines[2].mid(trustedPrefix.size());
    const QByteArray signedComment = signatureBytes + trusted;
    if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(global.constData()),
                                    reinterpret_cast<const unsigned char *>(signedComment.constData()),
                                    static_cast<unsigned long long>(signedComment.size()), pk) != 0)
        return fail(QStringLiteral("可信注释的签名不正确"));
    qDebug() << "签名: 公钥" << keyId.toHex() << "可信注释:" << trusted;
    QString signedVersion;
    for (const QString &part : QString::fromUtf8(trusted).split(QRegularExpression(QStringLiteral("[\\s]+"))))
        if (part.startsWith(QLatin1String("version=")))
            signedVersion = part.mid(8);
    if (signedVersion != newVersion)
        return fail(QStringLiteral("签名的版本不符: %1，应为 %2").arg(signedVersion, newVersion));
    if (!readableVersion(newVersion))
        return fail(QStringLiteral("版本号无法读取: %1").arg(newVersion));
    // Unknown (absent) is allowed; present but unreadable is no version to go past.
    if (!installedVersion.isEmpty() && !readableVersion(installedVersion))
        return fail(QStringLiteral("已安装的版本号无法读取: %1").arg(installedVersion));
    if (!installedVersion.isEmpty() && compareVersions(newVersion, installedVersion) < 0)
        return fail(QStringLiteral("拒绝降级: %1 低于已安装的 %2").arg(newVersion, installedVersion));
    return true;
}

bool readPublisherKeys(const QString &updaterDir, QByteArray *keyFile)
{
    QFile file(updaterDir + QStringLiteral("/update-keys.pub"));
    if (!file.exists() && !QFileInfo(file).isSymLink()) {
        qDebug() << "未安装发布者公钥，不要求签名";
        return true;
    }
    // Keys that someone else could change are no keys: refuse rather than trust them.
    for (const QString &path : {file.fileName(), updaterDir}) {
        const std::string why = platform::untrustedEntry(platformPath(path));
        if (!why.empty()) {
            qCritical() << "公钥文件可被他人修改，拒绝启动:" << path << QString::fromStdString(why);
            return false;
        }
    }
    QString reason;
    SignatureCheck check;
    if (!file.open(QIODevice::ReadOnly) || !check.setKeys(*keyFile = file.read(64 * 1024), &reason)) {
        qCritical() << "公钥文件格式不正确:" << file.fileName() << reason;
        return false;
    }
    qDebug() << "已安装发布者公钥，只安装发布者签名的更新包";
    return true;
}
