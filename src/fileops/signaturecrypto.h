#pragma once

#include <QByteArray>
#include <QtGlobal>

// The few cryptographic primitives that signed releases need, and the only place that knows which
// library provides them: signaturecrypto_sodium.cpp implements them with libsodium. A build that
// cannot link libsodium (or links another library) satisfies this header with its own source file;
// nothing else in the updater includes a crypto library's headers.
//
// Every function is safe to call from any thread once initialize() returned true, and none throws.
namespace SignatureCrypto {

inline constexpr int Ed25519PublicKeyBytes = 32;
inline constexpr int Ed25519SeedBytes = 32;
// The seed followed by the public key, as libsodium (and minisign) store a secret key.
inline constexpr int Ed25519SecretKeyBytes = 64;
inline constexpr int Ed25519SignatureBytes = 64;
inline constexpr int Blake2b256Bytes = 32;
inline constexpr int Blake2b512Bytes = 64;

// Prepares the library, once per process (later calls return the first result at once).
// False when it cannot be used; every other function then fails.
[[nodiscard]] bool initialize();

// True when signature (64 bytes) is a valid Ed25519 signature of message by publicKey (32 bytes).
// Wrong sizes give false.
[[nodiscard]] bool ed25519Verify(const QByteArray &signature, const QByteArray &message, const QByteArray &publicKey);

// The Ed25519 signature (64 bytes) of message with secretKey (64 bytes); empty on failure.
[[nodiscard]] QByteArray ed25519Sign(const QByteArray &message, const QByteArray &secretKey);

// The public key (32 bytes) that belongs to a seed (32 bytes); empty on failure. Lets a reader of a
// decrypted secret key check that it is consistent, whatever checksum the file carried.
[[nodiscard]] QByteArray ed25519PublicKeyFromSeed(const QByteArray &seed);

// Unkeyed BLAKE2b of data with a digest of digestBytes (32 or 64 here); empty on failure.
[[nodiscard]] QByteArray blake2b(const QByteArray &data, int digestBytes);

// scrypt (Salsa20/8, SHA-256) as libsodium's crypto_pwhash_scryptsalsa208sha256 derives it from an
// operations and a memory limit: outputBytes of key stream from password and salt (32 bytes).
// Empty on failure (out of memory, limits the library refuses).
[[nodiscard]] QByteArray scryptSalsa208Sha256(const QByteArray &password, const QByteArray &salt,
                                              quint64 opsLimit, quint64 memLimit, int outputBytes);

// Overwrites the bytes in a way the compiler does not optimise away (secret keys, passwords).
void wipe(QByteArray &bytes);

} // namespace SignatureCrypto
