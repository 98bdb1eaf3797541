#include "passwordhash.h"

#include <QByteArray>
#include <QList>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace {

const std::string prefix = "pbkdf2-sha256";
const int saltBytes = 16;
const int hashBytes = 32;

struct Parsed
{
    int iterations = 0;
    QByteArray salt;
    QByteArray hash;
};

QByteArray derive(const std::string &password, const QByteArray &salt, int iterations)
{
    QByteArray out(hashBytes, '\0');
    const int ok = PKCS5_PBKDF2_HMAC(password.data(), int(password.size()),
                                     reinterpret_cast<const unsigned char *>(salt.constData()),
                                     salt.size(), iterations, EVP_sha256(), out.size(),
                                     reinterpret_cast<unsigned char *>(out.data()));
    return ok == 1 ? out : QByteArray();
}

bool startsAsHash(const std::string &stored)
{
    return stored.rfind(prefix + '$', 0) == 0;
}

bool parse(const std::string &stored, Parsed *parsed)
{
    if (!startsAsHash(stored))
        return false;
    const QList<QByteArray> parts = QByteArray::fromStdString(stored).split('$');
    if (parts.size() != 4)
        return false;
    bool ok = false;
    const qlonglong iterations = parts[1].toLongLong(&ok);
    if (!ok || iterations < 1 || iterations > PasswordHash::maxIterations)
        return false;
    const auto options = QByteArray::AbortOnBase64DecodingErrors;
    const auto salt = QByteArray::fromBase64Encoding(parts[2], options);
    const auto hash = QByteArray::fromBase64Encoding(parts[3], options);
    if (!salt || !hash || salt.decoded.isEmpty() || hash.decoded.size() != hashBytes)
        return false;
    parsed->iterations = int(iterations);
    parsed->salt = salt.decoded;
    parsed->hash = hash.decoded;
    return true;
}

bool sameBytes(const QByteArray &a, const QByteArray &b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.constData(), b.constData(), a.size()) == 0;
}

} // namespace

std::string PasswordHash::make(const std::string &password, int iterations)
{
    if (iterations < 1 || iterations > maxIterations)
        return std::string();
    QByteArray salt(saltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(salt.data()), salt.size()) != 1)
        return std::string();
    const QByteArray hash = derive(password, salt, iterations);
    if (hash.isEmpty())
        return std::string();
    return prefix + '$' + std::to_string(iterations) + '$' +
           salt.toBase64().toStdString() + '$' + hash.toBase64().toStdString();
}

bool PasswordHash::isHash(const std::string &stored)
{
    Parsed parsed;
    return parse(stored, &parsed);
}

bool PasswordHash::verify(const std::string &password, const std::string &stored)
{
    Parsed parsed;
    if (parse(stored, &parsed)) {
        const QByteArray hash = derive(password, parsed.salt, parsed.iterations);
        return !hash.isEmpty() && sameBytes(hash, parsed.hash);
    }
    if (startsAsHash(stored))
        return false;
    return sameBytes(QByteArray::fromStdString(password), QByteArray::fromStdString(stored));
}
