#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Minisign public keys and signature files, and their verification (Ed25519 through
// signaturecrypto.h). The formats are minisign's own:
//
//   public key     "RW..." = base64 of "Ed" | key id (8 bytes) | Ed25519 public key (32 bytes),
//                  in a .pub file after a line "untrusted comment: ..."
//   .minisig       untrusted comment: <text>
//                  base64 of algorithm (2 bytes) | key id (8 bytes) | signature (64 bytes)
//                  trusted comment: <text>
//                  base64 of the global signature (64 bytes)
//
// Algorithm "ED" signs the BLAKE2b-512 hash of the data (minisign's default since 0.8), "Ed" the
// data itself (minisign -l). The global signature covers signature | trusted comment text, so the
// trusted comment cannot be changed without the secret key; the untrusted one can.
namespace Minisign {

inline constexpr int KeyIdBytes = 8;
// The most keys a key list may hold: the current one and, while clients move over, its successor.
inline constexpr int MaxTrustedKeys = 2;
// Signature files are four short lines; anything much larger is not one.
inline constexpr int MaxSignatureFileBytes = 64 * 1024;
// verifyFile() reads the signed file whole; a manifest of 100,000 files is about 15 MiB, and a
// larger file from a server must not exhaust memory.
inline constexpr qint64 MaxSignedFileBytes = 64 * 1024 * 1024;

inline constexpr char UntrustedCommentPrefix[] = "untrusted comment: ";
inline constexpr char TrustedCommentPrefix[] = "trusted comment: ";
inline constexpr char PublicKeyAlgorithm[] = "Ed";
inline constexpr char LegacySignatureAlgorithm[] = "Ed";
inline constexpr char HashedSignatureAlgorithm[] = "ED";

struct PublicKey
{
    QByteArray keyId; // KeyIdBytes, as stored in keys and signatures
    QByteArray key;   // the Ed25519 public key

    // The key id as minisign prints it ("BEA9393383EE81F3"): the stored bytes as a little-endian
    // number in upper-case hex digits, without leading zeros.
    [[nodiscard]] QString keyIdText() const;
    // The one-line form, "RW..." (what minisign -P and [Update] PublicKey take).
    [[nodiscard]] QString toBase64() const;
    // The two-line .pub file form.
    [[nodiscard]] QByteArray toPubFile() const;
};

struct Signature
{
    bool prehashed = true;        // "ED": the data's BLAKE2b-512 hash is signed
    QByteArray keyId;             // KeyIdBytes
    QByteArray signature;         // Ed25519 signature over the data or its hash
    QByteArray untrustedComment;  // after the prefix, as in the file (UTF-8)
    QByteArray trustedComment;    // after the prefix, as in the file (UTF-8); signed
    QByteArray globalSignature;   // Ed25519 signature over signature | trustedComment
};

// Why a verification failed. errorText() of a result gives the sentence for users and logs.
enum class VerifyError {
    None,
    NoKeys,                  // the key list is empty
    CryptoUnavailable,       // the crypto library could not be initialised
    UnreadableFile,          // the data or the signature file cannot be read
    MalformedSignature,      // the signature file is not in minisign's format
    UnknownKey,              // the key id names none of the trusted keys
    SignatureInvalid,        // the data (or its hash) does not verify
    TrustedCommentInvalid,   // the global signature over signature and trusted comment does not verify
};

struct VerifyResult
{
    VerifyError error = VerifyError::None;
    QString detail;          // what exactly, for the log (which line is malformed, which key id, ...)
    QString trustedComment;  // the signed comment, set when the signature verified
    QString keyId;           // keyIdText() of the key that verified, or the unknown key id

    [[nodiscard]] bool ok() const { return error == VerifyError::None; }
    // "signature invalid", "signature made by an unknown key", "malformed signature file", ...;
    // empty when ok.
    [[nodiscard]] QString errorText() const;
};

// Parses one public key: the base64 line, or the two-line .pub file form (a line beginning with
// "untrusted comment:" is skipped). Surrounding blanks and line ends are ignored.
[[nodiscard]] bool parsePublicKey(const QString &text, PublicKey *key, QString *error);

// Parses a list of up to MaxTrustedKeys keys: one-line keys separated by commas or line ends,
// or .pub files one after the other. An empty text is an error ("no public key").
[[nodiscard]] bool parsePublicKeys(const QString &text, QVector<PublicKey> *keys, QString *error);

// Parses the content of a .minisig file. Lines may end with LF or CR LF; nothing but empty lines
// may follow the fourth.
[[nodiscard]] bool parseSignature(const QByteArray &content, Signature *signature, QString *error);

// The content of a .minisig file for the signature (the inverse of parseSignature).
[[nodiscard]] QByteArray formatSignature(const Signature &signature);

// Verifies data against the content of a .minisig file with any of the keys: the key id must name
// one of them, the signature must cover the data (or its BLAKE2b-512 hash for "ED") and the global
// signature the signature and the trusted comment.
[[nodiscard]] VerifyResult verify(const QByteArray &data, const QByteArray &signatureFile,
                                  const QVector<PublicKey> &keys);

// verify() on the contents of two files, each read whole; a signed file above MaxSignedFileBytes
// or a signature file above MaxSignatureFileBytes is refused as unreadable.
[[nodiscard]] VerifyResult verifyFile(const QString &dataPath, const QString &signaturePath,
                                      const QVector<PublicKey> &keys);

} // namespace Minisign
