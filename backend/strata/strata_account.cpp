#include "backend/strata/strata_account.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

std::string StrataNewSalt() {
    std::string salt(kStrataSaltSize, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), int(salt.size())) != 1) return {};
    return salt;
}

std::string StrataHashPassword(const std::string& salt, const std::string& password) {
    const std::string input = salt + password;
    std::string hash(SHA256_DIGEST_LENGTH, '\0');
    SHA256(reinterpret_cast<const unsigned char*>(input.data()), input.size(),
           reinterpret_cast<unsigned char*>(hash.data()));
    return hash;
}

bool StrataSameHash(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
