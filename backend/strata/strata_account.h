#pragma once
// Password hashing of store accounts: SHA-256 over a random 16-octet salt followed by the
// password (OpenSSL). Stateless; any thread.

#include <string>

constexpr size_t kStrataSaltSize = 16;
constexpr size_t kStrataMaxPassword = 256;

// A fresh random salt; empty when the system's random source fails.
std::string StrataNewSalt();
// SHA-256(salt + password), 32 octets.
std::string StrataHashPassword(const std::string& salt, const std::string& password);
// Constant-time comparison of two hashes.
bool StrataSameHash(const std::string& a, const std::string& b);
