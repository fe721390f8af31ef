#include "minisignsigner.h"

#include "signaturecrypto.h"

#include <QStringList>
#include <QtEndian>

namespace Minisign {

namespace {

constexpr int AlgorithmBytes = 2;
constexpr int SaltBytes = 32;
constexpr int LimitBytes = 8;
constexpr int ChecksumBytes = SignatureCrypto::Blake2b256Bytes;

// Offsets in the decoded secret key file.
constexpr int KdfOffset = AlgorithmBytes;
constexpr int ChecksumAlgorithmOffset = KdfOffset + AlgorithmBytes;
constexpr int SaltOffset = ChecksumAlgorithmOffset + AlgorithmBytes;
constexpr int OpsLimitOffset = SaltOffset + SaltBytes;
constexpr int MemLimitOffset = OpsLimitOffset + LimitBytes;
// From here on the bytes are encrypted when the KDF is scrypt.
constexpr int KeyIdOffset = MemLimitOffset + LimitBytes;
constexpr int SecretKeyOffset = KeyIdOffset + KeyIdBytes;
constexpr int ChecksumOffset = SecretKeyOffset + SignatureCrypto::Ed25519SecretKeyBytes;
constexpr int SecretKeyBlobBytes = ChecksumOffset + ChecksumBytes;
constexpr int EncryptedBytes = SecretKeyBlobBytes - KeyIdOffset;

const QByteArray NoKdf(AlgorithmBytes, '\0');

SecretKeyResult failure(SecretKeyError error, const QString &detail)
{
    SecretKeyResult result;
    result.error = error;
    result.detail = detail;
    return result;
}

// The decoded key blob, or empty when the text is not a minisign secret key file.
QByteArray decodeBlob(const QByteArray &fileContent)
{
    QByteArray keyLine;
    const QList<QByteArray> lines = fileContent.split('\n');
    for (const QByteArray &line : lines) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith("untrusted comment:"))
            continue;
        if (!keyLine.isEmpty())
            return QByteArray();
        keyLine = trimmed;
    }
    const auto decoded = QByteArray::fromBase64Encoding(keyLine, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok || decoded.decoded.size() != SecretKeyBlobBytes)
        return QByteArray();
    return decoded.decoded;
}

quint64 readLimit(const QByteArray &blob, int offset)
{
    return qFromLittleEndian<quint64>(blob.constData() + offset);
}

bool isSingleLine(const QString &text)
{
    return !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'));
}

} // namespace

SecretKey::SecretKey(QByteArray keyId, QByteArray secretKey)
    : m_keyId(std::move(keyId))
    , m_secretKey(std::move(secretKey))
{
}

SecretKey::~SecretKey()
{
    // Only this copy's bytes are wiped when the data is shared with another SecretKey; the last one
    // to go wipes what is left.
    if (m_secretKey.isDetached())
        SignatureCrypto::wipe(m_secretKey);
}

PublicKey SecretKey::publicKey() const
{
    PublicKey key;
    key.keyId = m_keyId;
    key.key = m_secretKey.mid(SignatureCrypto::Ed25519SeedBytes);
    return key;
}

QString SecretKeyResult::errorText() const
{
    switch (error) {
    case SecretKeyError::None:
        return QString();
    case SecretKeyError::Malformed:
        return QStringLiteral("malformed secret key file");
    case SecretKeyError::PasswordRequired:
        return QStringLiteral("the secret key is password-protected and no password was given");
    case SecretKeyError::WrongPassword:
        return QStringLiteral("wrong password for the secret key");
    case SecretKeyError::CryptoUnavailable:
        return QStringLiteral("the secret key cannot be decrypted here");
    }
    return QStringLiteral("malformed secret key file");
}

bool isPasswordProtected(const QByteArray &fileContent)
{
    const QByteArray blob = decodeBlob(fileContent);
    return !blob.isEmpty() && blob.mid(KdfOffset, AlgorithmBytes) == ScryptKdfAlgorithm;
}

SecretKeyResult readSecretKey(const QByteArray &fileContent, const QByteArray &password)
{
    QByteArray blob = decodeBlob(fileContent);
    if (blob.isEmpty())
        return failure(SecretKeyError::Malformed, QStringLiteral("not the base64 text of a minisign secret key"));
    if (blob.left(AlgorithmBytes) != PublicKeyAlgorithm)
        return failure(SecretKeyError::Malformed, QStringLiteral("not an Ed25519 key"));
    if (blob.mid(ChecksumAlgorithmOffset, AlgorithmBytes) != Blake2bChecksumAlgorithm)
        return failure(SecretKeyError::Malformed, QStringLiteral("unknown checksum algorithm"));
    if (!SignatureCrypto::initialize())
        return failure(SecretKeyError::CryptoUnavailable, QStringLiteral("the crypto library failed to initialise"));

    const QByteArray kdf = blob.mid(KdfOffset, AlgorithmBytes);
    const bool encrypted = kdf == ScryptKdfAlgorithm;
    if (!encrypted && kdf != NoKdf)
        return failure(SecretKeyError::Malformed, QStringLiteral("unknown key derivation"));
    if (encrypted) {
        if (password.isEmpty())
            return failure(SecretKeyError::PasswordRequired, QStringLiteral("the key file is encrypted"));
        QByteArray stream = SignatureCrypto::scryptSalsa208Sha256(password, blob.mid(SaltOffset, SaltBytes),
                                                                  readLimit(blob, OpsLimitOffset),
                                                                  readLimit(blob, MemLimitOffset), EncryptedBytes);
        if (stream.size() != EncryptedBytes)
            return failure(SecretKeyError::CryptoUnavailable,
                           QStringLiteral("scrypt with operations limit %1 and memory limit %2 failed")
                               .arg(readLimit(blob, OpsLimitOffset))
                               .arg(readLimit(blob, MemLimitOffset)));
        for (int i = 0; i < EncryptedBytes; ++i)
            blob[KeyIdOffset + i] = static_cast<char>(blob.at(KeyIdOffset + i) ^ stream.at(i));
        SignatureCrypto::wipe(stream);
    }

    const QByteArray keyId = blob.mid(KeyIdOffset, KeyIdBytes);
    QByteArray secretKey = blob.mid(SecretKeyOffset, SignatureCrypto::Ed25519SecretKeyBytes);
    const QByteArray checksum = blob.mid(ChecksumOffset, ChecksumBytes);
    const QByteArray expected = SignatureCrypto::blake2b(QByteArray(PublicKeyAlgorithm) + keyId + secretKey, ChecksumBytes);
    // minisign 0.11 leaves the checksum of an unencrypted key zero; the check below still catches
    // a damaged key there. For an encrypted key the checksum is what tells a wrong password.
    const bool checksumOk = checksum == expected || (!encrypted && checksum == QByteArray(ChecksumBytes, '\0'));
    const bool consistent = SignatureCrypto::ed25519PublicKeyFromSeed(secretKey.left(SignatureCrypto::Ed25519SeedBytes))
        == secretKey.mid(SignatureCrypto::Ed25519SeedBytes);
    SignatureCrypto::wipe(blob);
    if (!checksumOk || !consistent) {
        SignatureCrypto::wipe(secretKey);
        if (encrypted)
            return failure(SecretKeyError::WrongPassword, QStringLiteral("the decrypted key fails its checksum"));
        return failure(SecretKeyError::Malformed, QStringLiteral("the key fails its checksum"));
    }

    SecretKeyResult result;
    result.key = SecretKey(keyId, secretKey);
    return result;
}

bool sign(const QByteArray &data, const SecretKey &key, const QString &trustedComment, const QString &untrustedComment,
          QByteArray *signatureFile, QString *error)
{
    auto refuse = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    const QByteArray trusted = trustedComment.toUtf8();
    const QByteArray untrusted = untrustedComment.toUtf8();
    if (!isSingleLine(trustedComment) || !isSingleLine(untrustedComment))
        return refuse(QStringLiteral("a comment must be a single line"));
    if (trusted.size() > MaxTrustedCommentBytes || untrusted.size() > MaxUntrustedCommentBytes)
        return refuse(QStringLiteral("the comment is too long"));
    if (key.isNull())
        return refuse(QStringLiteral("no secret key"));

    Signature signature;
    signature.prehashed = true;
    signature.keyId = key.keyId();
    signature.untrustedComment = untrusted;
    signature.trustedComment = trusted;
    signature.signature =
        SignatureCrypto::ed25519Sign(SignatureCrypto::blake2b(data, SignatureCrypto::Blake2b512Bytes), key.secretKey());
    if (signature.signature.isEmpty())
        return refuse(QStringLiteral("signing failed"));
    signature.globalSignature = SignatureCrypto::ed25519Sign(signature.signature + trusted, key.secretKey());
    if (signature.globalSignature.isEmpty())
        return refuse(QStringLiteral("signing failed"));
    *signatureFile = formatSignature(signature);
    return true;
}

} // namespace Minisign
