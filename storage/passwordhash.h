#ifndef PASSWORDHASH_H
#define PASSWORDHASH_H

#include <string>

// Salted, slow password hashes (PBKDF2-HMAC-SHA256) in the self-describing text form
// "pbkdf2-sha256$ITERATIONS$SALT$HASH", salt and hash in base64, as the account file stores them.
class PasswordHash
{
public:
    // About 0.1 s on the station's machine: run it off the interface thread.
    static constexpr int defaultIterations = 120000;
    // Counts outside 1..maxIterations are not a hash we made; a stored count beyond it would
    // hold the worker for minutes.
    static constexpr int maxIterations = 10000000;

    // A new hash with 16 fresh random bytes of salt; empty when no random bytes can be had.
    static std::string make(const std::string &password, int iterations = defaultIterations);
    // Whether stored is in the hash form; anything else is a password kept as plain text.
    static bool isHash(const std::string &stored);
    // Whether the password matches what is stored: a hash at its own iteration count (so the
    // count can be raised later), plain text as it is. A text that starts like a hash but is
    // damaged matches nothing.
    static bool verify(const std::string &password, const std::string &stored);
};

#endif // PASSWORDHASH_H
