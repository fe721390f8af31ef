#pragma once

#include "fileops/minisign.h"

#include <QByteArray>
#include <QString>

// Signing for publishers: reads a secret key file made by minisign -G and writes .minisig files
// that minisign -V (and Minisign::verify) accept. The updater itself never signs.
//
// Secret key file: a line "untrusted comment: ..." and the base64 text of
//   "Ed" | KDF "Sc" (scrypt) or two zero bytes (minisign -G -W) | checksum "B2" | salt (32) |
//   scrypt operations limit (8, little-endian) | memory limit (8, little-endian) |
//   key id (8) | Ed25519 secret key (64) | BLAKE2b-256 of "Ed" | key id | secret key (32)
// With "Sc" the last 104 bytes are XORed with a scrypt key stream derived from the password.
namespace Minisign {

inline constexpr char ScryptKdfAlgorithm[] = "Sc";
inline constexpr char Blake2bChecksumAlgorithm[] = "B2";
// minisign refuses longer comment lines (1024 and 8192 bytes with prefix and line end).
inline constexpr int MaxUntrustedCommentBytes = 1000;
inline constexpr int MaxTrustedCommentBytes = 8000;

class SecretKey
{
public:
    SecretKey() = default;
    SecretKey(QByteArray keyId, QByteArray secretKey);
    SecretKey(const SecretKey &) = default;
    SecretKey &operator=(const SecretKey &) = default;
    ~SecretKey();

    [[nodiscard]] bool isNull() const { return m_secretKey.isEmpty(); }
    [[nodiscard]] QByteArray keyId() const { return m_keyId; }
    [[nodiscard]] QByteArray secretKey() const { return m_secretKey; }
    // The public half: the last 32 bytes of an Ed25519 secret key, with the same key id.
    [[nodiscard]] PublicKey publicKey() const;

private:
    QByteArray m_keyId;
    QByteArray m_secretKey;
};

enum class SecretKeyError {
    None,
    Malformed,          // not a minisign secret key file
    PasswordRequired,   // the key is encrypted and no password was given
    WrongPassword,      // the decrypted key fails its checksum
    CryptoUnavailable,  // the crypto library cannot be used, or refused the scrypt parameters
};

struct SecretKeyResult
{
    SecretKeyError error = SecretKeyError::None;
    QString detail;
    SecretKey key;

    [[nodiscard]] bool ok() const { return error == SecretKeyError::None; }
    [[nodiscard]] QString errorText() const;
};

// True when the file holds a password-protected key (KDF "Sc"); false for an unencrypted or
// malformed one.
[[nodiscard]] bool isPasswordProtected(const QByteArray &fileContent);

// Reads a secret key file. password is used only for an encrypted key (then it must not be empty);
// decrypting takes as long and as much memory as the file's scrypt limits say (minisign's default
// is 1 GiB and a few seconds).
[[nodiscard]] SecretKeyResult readSecretKey(const QByteArray &fileContent, const QByteArray &password);

// Signs data in minisign's default "ED" form (the BLAKE2b-512 hash of the data is signed) and
// returns the content of the .minisig file. Comments are single lines of UTF-8 text up to the
// limits above; false (with error) for a longer comment, a line break or a null key.
[[nodiscard]] bool sign(const QByteArray &data, const SecretKey &key, const QString &trustedComment,
                        const QString &untrustedComment, QByteArray *signatureFile, QString *error);

} // namespace Minisign
