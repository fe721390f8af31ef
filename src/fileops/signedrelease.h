#pragma once

#include "fileops/minisign.h"
#include "fileops/releasemanifest.h"

#include <QString>
#include <QStringList>
#include <QVector>

// Everything a download must pass before it is applied when releases are signed: the manifest and
// its signature at the top of the download, the signature by one of the trusted keys, the
// manifest's form, and every file against the manifest. Which versions to accept (no downgrade, the
// version the server announced) is the caller's decision, made on manifest.version().
enum class SignedReleaseFailure {
    None,
    NotSigned,          // no manifest or no signature at the top of the download
    Signature,          // the signature does not verify with the trusted keys
    MalformedManifest,  // signed, but not a manifest the reader accepts
    Files,              // a file does not match the manifest
};

struct SignedReleaseCheck
{
    SignedReleaseFailure failure = SignedReleaseFailure::None;
    // For users: "release not signed", "signature invalid", "signature made by an unknown key",
    // "malformed manifest", "file not in manifest: /bin/a.dll", ...; empty when ok.
    QString error;
    // For the log: which file or line and why.
    QString detail;
    // The signed manifest, set once signature and form passed (also when a file then fails).
    ReleaseManifest manifest;
    QString keyId;          // the key that signed, as minisign prints it
    QString trustedComment; // the signature's trusted comment

    [[nodiscard]] bool ok() const { return failure == SignedReleaseFailure::None; }
};

// Runs the checks in that order and stops at the first failure. installDir and
// ignoredTopLevelNames are passed to ReleaseManifest::checkDownload().
[[nodiscard]] SignedReleaseCheck checkSignedDownload(const QString &downloadDir, const QString &installDir,
                                                     const QVector<Minisign::PublicKey> &keys,
                                                     const QStringList &ignoredTopLevelNames = QStringList());
