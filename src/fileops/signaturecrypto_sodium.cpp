// SignatureCrypto on libsodium: the only source file of the updater that includes sodium.h.

#include "signaturecrypto.h"

#include <sodium.h>

#include <limits>

namespace SignatureCrypto {

static_assert(Ed25519PublicKeyBytes == crypto_sign_PUBLICKEYBYTES);
static_assert(Ed25519SecretKeyBytes == crypto_sign_SECRETKEYBYTES);
static_assert(Ed25519SeedBytes == crypto_sign_SEEDBYTES);
static_assert(Ed25519SignatureBytes == crypto_sign_BYTES);

namespace {

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

unsigned char *bytes(QByteArray &data)
{
    return reinterpret_cast<unsigned char *>(data.data());
}

} // namespace

bool initialize()
{
    // sodium_init() returns 1 when it had already run; both are fine. Static initialisation makes
    // the first call the only one, even with threads.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool ed25519Verify(const QByteArray &signature, const QByteArray &message, const QByteArray &publicKey)
{
    if (!initialize() || signature.size() != Ed25519SignatureBytes || publicKey.size() != Ed25519PublicKeyBytes)
        return false;
    return crypto_sign_verify_detached(bytes(signature), bytes(message), static_cast<unsigned long long>(message.size()),
                                       bytes(publicKey))
        == 0;
}

QByteArray ed25519Sign(const QByteArray &message, const QByteArray &secretKey)
{
    if (!initialize() || secretKey.size() != Ed25519SecretKeyBytes)
        return QByteArray();
    QByteArray signature(Ed25519SignatureBytes, '\0');
    if (crypto_sign_detached(bytes(signature), nullptr, bytes(message), static_cast<unsigned long long>(message.size()),
                             bytes(secretKey))
        != 0)
        return QByteArray();
    return signature;
}

QByteArray ed25519PublicKeyFromSeed(const QByteArray &seed)
{
    if (!initialize() || seed.size() != Ed25519SeedBytes)
        return QByteArray();
    QByteArray publicKey(Ed25519PublicKeyBytes, '\0');
    QByteArray secretKey(Ed25519SecretKeyBytes, '\0');
    const bool ok = crypto_sign_seed_keypair(bytes(publicKey), bytes(secretKey), bytes(seed)) == 0;
    wipe(secretKey);
    return ok ? publicKey : QByteArray();
}

QByteArray blake2b(const QByteArray &data, int digestBytes)
{
    if (!initialize() || digestBytes < static_cast<int>(crypto_generichash_BYTES_MIN)
        || digestBytes > static_cast<int>(crypto_generichash_BYTES_MAX))
        return QByteArray();
    QByteArray digest(digestBytes, '\0');
    if (crypto_generichash(bytes(digest), static_cast<size_t>(digestBytes), bytes(data),
                           static_cast<unsigned long long>(data.size()), nullptr, 0)
        != 0)
        return QByteArray();
    return digest;
}

QByteArray scryptSalsa208Sha256(const QByteArray &password, const QByteArray &salt, quint64 opsLimit,
                                quint64 memLimit, int outputBytes)
{
    if (!initialize() || salt.size() != crypto_pwhash_scryptsalsa208sha256_SALTBYTES || outputBytes <= 0
        || memLimit > std::numeric_limits<size_t>::max())
        return QByteArray();
    QByteArray stream(outputBytes, '\0');
    // The high-level call picks N, r and p from the two limits exactly as minisign's key generation
    // did, so the stored limits reproduce the same key stream.
    if (crypto_pwhash_scryptsalsa208sha256(bytes(stream), static_cast<unsigned long long>(outputBytes),
                                           password.constData(), static_cast<unsigned long long>(password.size()),
                                           bytes(salt), opsLimit, static_cast<size_t>(memLimit))
        != 0)
        return QByteArray();
    return stream;
}

void wipe(QByteArray &bytes)
{
    if (!bytes.isEmpty())
        sodium_memzero(bytes.data(), static_cast<size_t>(bytes.size()));
}

} // namespace SignatureCrypto
