#include "signedrelease.h"

#include "fileops/fileopsconstants.h"

#include <QFile>
#include <QFileInfo>

namespace {

SignedReleaseCheck failed(SignedReleaseFailure failure, const QString &error, const QString &detail)
{
    SignedReleaseCheck result;
    result.failure = failure;
    result.error = error;
    result.detail = detail;
    return result;
}

// The whole file if it is no larger than maxBytes.
bool readAtMost(const QString &path, qint64 maxBytes, QByteArray *content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > maxBytes)
        return false;
    *content = file.read(maxBytes + 1);
    return content->size() <= maxBytes && file.error() == QFileDevice::NoError;
}

} // namespace

SignedReleaseCheck checkSignedDownload(const QString &downloadDir, const QString &installDir,
                                       const QVector<Minisign::PublicKey> &keys, const QStringList &ignoredTopLevelNames)
{
    QString dir = downloadDir;
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    const QString manifestPath = dir + QLatin1String(FileOps::ReleaseManifestFileName);
    const QString signaturePath = dir + QLatin1String(FileOps::ReleaseSignatureFileName);
    if (!QFileInfo(manifestPath).isFile() || !QFileInfo(signaturePath).isFile())
        return failed(SignedReleaseFailure::NotSigned, QStringLiteral("release not signed"),
                      QStringLiteral("%1 or %2 is missing").arg(manifestPath, signaturePath));

    // The bytes that were verified are the bytes that are parsed.
    QByteArray text;
    QByteArray signature;
    if (!readAtMost(manifestPath, Minisign::MaxSignedFileBytes, &text)
        || !readAtMost(signaturePath, Minisign::MaxSignatureFileBytes, &signature))
        return failed(SignedReleaseFailure::Signature, QStringLiteral("cannot read the signed files"),
                      QStringLiteral("%1 or %2 cannot be read or is too large").arg(manifestPath, signaturePath));
    const Minisign::VerifyResult verified = Minisign::verify(text, signature, keys);
    if (!verified.ok())
        return failed(SignedReleaseFailure::Signature, verified.errorText(), verified.detail);

    QString error;
    ReleaseManifest manifest;
    if (!ReleaseManifest::parse(text, &manifest, &error))
        return failed(SignedReleaseFailure::MalformedManifest, QStringLiteral("malformed manifest"), error);

    SignedReleaseCheck result;
    result.manifest = manifest;
    result.keyId = verified.keyId;
    result.trustedComment = verified.trustedComment;
    const ManifestCheckResult files = manifest.checkDownload(downloadDir, installDir, ignoredTopLevelNames);
    if (!files.ok()) {
        result.failure = SignedReleaseFailure::Files;
        result.error = files.errorText();
        result.detail = files.detail;
    }
    return result;
}
