#include "minisign.h"

#include "signaturecrypto.h"

#include <QFile>
#include <QList>

#include <algorithm>

namespace Minisign {

namespace {

constexpr int AlgorithmBytes = 2;
constexpr int PublicKeyBlobBytes = AlgorithmBytes + KeyIdBytes + SignatureCrypto::Ed25519PublicKeyBytes;
constexpr int SignatureBlobBytes = AlgorithmBytes + KeyIdBytes + SignatureCrypto::Ed25519SignatureBytes;
constexpr int SignatureFileLines = 4;

bool setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// Strict base64: any character outside the alphabet fails, unlike QByteArray::fromBase64().
bool decodeBase64(const QByteArray &text, int expectedBytes, QByteArray *out)
{
    const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok || decoded.decoded.size() != expectedBytes)
        return false;
    *out = decoded.decoded;
    return true;
}

// The lines of a key text that are not comments, each trimmed, empty ones dropped.
QStringList keyLines(const QString &text)
{
    QStringList lines;
    const QStringList raw = text.split(QLatin1Char('\n'));
    for (const QString &line : raw) {
        const QString trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith(QLatin1String("untrusted comment:")))
            lines.append(trimmed);
    }
    return lines;
}

bool parseKeyLine(const QString &line, PublicKey *key, QString *error)
{
    QByteArray blob;
    if (!decodeBase64(line.toLatin1(), PublicKeyBlobBytes, &blob))
        return setError(error, QStringLiteral("malformed public key \"%1\": not the base64 text of a minisign key").arg(line));
    if (blob.left(AlgorithmBytes) != PublicKeyAlgorithm)
        return setError(error, QStringLiteral("malformed public key \"%1\": not an Ed25519 key").arg(line));
    key->keyId = blob.mid(AlgorithmBytes, KeyIdBytes);
    key->key = blob.mid(AlgorithmBytes + KeyIdBytes);
    return true;
}

VerifyResult failure(VerifyError error, const QString &detail, const QString &keyId = QString())
{
    VerifyResult result;
    result.error = error;
    result.detail = detail;
    result.keyId = keyId;
    return result;
}

QString keyIdText(const QByteArray &keyId)
{
    QByteArray bigEndian = keyId;
    std::reverse(bigEndian.begin(), bigEndian.end());
    QString text = QString::fromLatin1(bigEndian.toHex().toUpper());
    // minisign prints the number without leading zeros.
    while (text.size() > 1 && text.startsWith(QLatin1Char('0')))
        text.remove(0, 1);
    return text;
}

// Reads a whole file of at most maxBytes; false when it is missing, unreadable or larger.
bool readSmallFile(const QString &path, qint64 maxBytes, QByteArray *content, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return setError(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    if (file.size() > maxBytes)
        return setError(error, QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxBytes));
    *content = file.read(maxBytes + 1);
    if (content->size() > maxBytes)
        return setError(error, QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxBytes));
    if (file.error() != QFileDevice::NoError)
        return setError(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return true;
}

} // namespace

QString PublicKey::keyIdText() const
{
    return Minisign::keyIdText(keyId);
}

QString PublicKey::toBase64() const
{
    return QString::fromLatin1((QByteArray(PublicKeyAlgorithm) + keyId + key).toBase64());
}

QByteArray PublicKey::toPubFile() const
{
    return QByteArray(UntrustedCommentPrefix) + "minisign public key " + keyIdText().toLatin1() + '\n'
        + toBase64().toLatin1() + '\n';
}

QString VerifyResult::errorText() const
{
    switch (error) {
    case VerifyError::None:
        return QString();
    case VerifyError::NoKeys:
        return QStringLiteral("no public key to verify with");
    case VerifyError::CryptoUnavailable:
        return QStringLiteral("signature library unavailable");
    case VerifyError::UnreadableFile:
        return QStringLiteral("cannot read the signed files");
    case VerifyError::MalformedSignature:
        return QStringLiteral("malformed signature file");
    case VerifyError::UnknownKey:
        return QStringLiteral("signature made by an unknown key");
    case VerifyError::SignatureInvalid:
        return QStringLiteral("signature invalid");
    case VerifyError::TrustedCommentInvalid:
        return QStringLiteral("trusted comment signature invalid");
    }
    return QStringLiteral("signature invalid");
}

bool parsePublicKey(const QString &text, PublicKey *key, QString *error)
{
    const QStringList lines = keyLines(text);
    if (lines.isEmpty())
        return setError(error, QStringLiteral("no public key"));
    if (lines.size() > 1)
        return setError(error, QStringLiteral("more than one public key"));
    return parseKeyLine(lines.first(), key, error);
}

bool parsePublicKeys(const QString &text, QVector<PublicKey> *keys, QString *error)
{
    QStringList items;
    const QStringList lines = keyLines(text);
    for (const QString &line : lines) {
        const QStringList parts = line.split(QLatin1Char(','));
        for (const QString &part : parts) {
            if (!part.trimmed().isEmpty())
                items.append(part.trimmed());
        }
    }
    if (items.isEmpty())
        return setError(error, QStringLiteral("no public key"));
    if (items.size() > MaxTrustedKeys)
        return setError(error, QStringLiteral("%1 public keys given, at most %2 are allowed").arg(items.size()).arg(MaxTrustedKeys));
    QVector<PublicKey> parsed;
    for (const QString &item : qAsConst(items)) {
        PublicKey key;
        if (!parseKeyLine(item, &key, error))
            return false;
        parsed.append(key);
    }
    *keys = parsed;
    return true;
}

bool parseSignature(const QByteArray &content, Signature *signature, QString *error)
{
    if (content.size() > MaxSignatureFileBytes)
        return setError(error, QStringLiteral("larger than %1 bytes").arg(MaxSignatureFileBytes));
    QList<QByteArray> lines = content.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != SignatureFileLines)
        return setError(error, QStringLiteral("%1 lines instead of %2").arg(lines.size()).arg(SignatureFileLines));

    Signature parsed;
    if (!lines.at(0).startsWith(UntrustedCommentPrefix))
        return setError(error, QStringLiteral("the first line does not begin with \"%1\"").arg(QLatin1String(UntrustedCommentPrefix)));
    parsed.untrustedComment = lines.at(0).mid(int(qstrlen(UntrustedCommentPrefix)));

    QByteArray blob;
    if (!decodeBase64(lines.at(1), SignatureBlobBytes, &blob))
        return setError(error, QStringLiteral("the signature line is not the base64 text of a signature"));
    const QByteArray algorithm = blob.left(AlgorithmBytes);
    if (algorithm == HashedSignatureAlgorithm)
        parsed.prehashed = true;
    else if (algorithm == LegacySignatureAlgorithm)
        parsed.prehashed = false;
    else
        return setError(error, QStringLiteral("unsupported signature algorithm \"%1\"").arg(QString::fromLatin1(algorithm.toHex())));
    parsed.keyId = blob.mid(AlgorithmBytes, KeyIdBytes);
    parsed.signature = blob.mid(AlgorithmBytes + KeyIdBytes);

    if (!lines.at(2).startsWith(TrustedCommentPrefix))
        return setError(error, QStringLiteral("the third line does not begin with \"%1\"").arg(QLatin1String(TrustedCommentPrefix)));
    parsed.trustedComment = lines.at(2).mid(int(qstrlen(TrustedCommentPrefix)));

    if (!decodeBase64(lines.at(3), SignatureCrypto::Ed25519SignatureBytes, &parsed.globalSignature))
        return setError(error, QStringLiteral("the last line is not the base64 text of a signature"));
    *signature = parsed;
    return true;
}

QByteArray formatSignature(const Signature &signature)
{
    const QByteArray algorithm = signature.prehashed ? HashedSignatureAlgorithm : LegacySignatureAlgorithm;
    return QByteArray(UntrustedCommentPrefix) + signature.untrustedComment + '\n'
        + (algorithm + signature.keyId + signature.signature).toBase64() + '\n' + TrustedCommentPrefix
        + signature.trustedComment + '\n' + signature.globalSignature.toBase64() + '\n';
}

VerifyResult verify(const QByteArray &data, const QByteArray &signatureFile, const QVector<PublicKey> &keys)
{
    if (keys.isEmpty())
        return failure(VerifyError::NoKeys, QStringLiteral("the list of trusted keys is empty"));
    if (!SignatureCrypto::initialize())
        return failure(VerifyError::CryptoUnavailable, QStringLiteral("the crypto library failed to initialise"));

    Signature signature;
    QString error;
    if (!parseSignature(signatureFile, &signature, &error))
        return failure(VerifyError::MalformedSignature, error);

    const QString signer = keyIdText(signature.keyId);
    const auto key = std::find_if(keys.cbegin(), keys.cend(),
                                  [&](const PublicKey &k) { return k.keyId == signature.keyId; });
    if (key == keys.cend())
        return failure(VerifyError::UnknownKey, QStringLiteral("signed by key %1, which is not trusted").arg(signer), signer);

    const QByteArray message = signature.prehashed ? SignatureCrypto::blake2b(data, SignatureCrypto::Blake2b512Bytes) : data;
    if (!SignatureCrypto::ed25519Verify(signature.signature, message, key->key))
        return failure(VerifyError::SignatureInvalid,
                       QStringLiteral("the signature by key %1 does not match the data").arg(signer), signer);
    if (!SignatureCrypto::ed25519Verify(signature.globalSignature, signature.signature + signature.trustedComment, key->key))
        return failure(VerifyError::TrustedCommentInvalid,
                       QStringLiteral("the trusted comment \"%1\" is not the one key %2 signed")
                           .arg(QString::fromUtf8(signature.trustedComment), signer),
                       signer);

    VerifyResult result;
    result.keyId = signer;
    result.trustedComment = QString::fromUtf8(signature.trustedComment);
    return result;
}

VerifyResult verifyFile(const QString &dataPath, const QString &signaturePath, const QVector<PublicKey> &keys)
{
    QByteArray data;
    QByteArray signatureFile;
    QString error;
    if (!readSmallFile(signaturePath, MaxSignatureFileBytes, &signatureFile, &error)
        || !readSmallFile(dataPath, MaxSignedFileBytes, &data, &error))
        return failure(VerifyError::UnreadableFile, error);
    return verify(data, signatureFile, keys);
}

} // namespace Minisign
