// CConsoleAuth: password hashes, login sessions and the wrong-password slow-down (see
// consoleauth.h).
#include "ui/web/consoleauth.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr size_t kTokenBytes = 32;
// Hashes claiming more iterations than this are refused rather than computed for minutes.
constexpr unsigned long kMaxIterations = 10000000;
constexpr int kMaxWaitSeconds = 60;

std::string Hex(const unsigned char* data, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

bool Unhex(const std::string& text, std::vector<unsigned char>& out) {
    if (text.size() % 2 != 0)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        auto nibble = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        };
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return true;
}

bool Pbkdf2(const std::string& password, const std::vector<unsigned char>& salt,
            unsigned long iterations, unsigned char* out, size_t outLen) {
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations),
                             EVP_sha256(), static_cast<int>(outLen), out) == 1;
}

std::string RandomToken() {
    unsigned char bytes[kTokenBytes];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return std::string();
    return Hex(bytes, sizeof bytes);
}

}  // namespace

std::string HashConsolePassword(const std::string& password, uint32_t iterations) {
    std::vector<unsigned char> salt(kSaltBytes);
    unsigned char hash[kHashBytes];
    if (iterations == 0 || RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
        !Pbkdf2(password, salt, iterations, hash, sizeof hash))
        return std::string();
    return "pbkdf2-sha256$" + std::to_string(iterations) + "$" + Hex(salt.data(), salt.size()) +
           "$" + Hex(hash, sizeof hash);
}

bool VerifyConsolePassword(const std::string& password, const std::string& stored) {
    const std::string prefix = "pbkdf2-sha256$";
    if (stored.compare(0, prefix.size(), prefix) != 0)
        return false;
    const size_t a = prefix.size();
    const size_t b = stored.find('$', a);
    const size_t c = b == std::string::npos ? b : stored.find('$', b + 1);
    if (c == std::string::npos)
        return false;
    const std::string iterText = stored.substr(a, b - a);
    char* end = nullptr;
    const unsigned long iterations = std::strtoul(iterText.c_str(), &end, 10);
    std::vector<unsigned char> salt, expected;
    if (iterText.empty() || *end != '\0' || iterations == 0 || iterations > kMaxIterations ||
        !Unhex(stored.substr(b + 1, c - b - 1), salt) || !Unhex(stored.substr(c + 1), expected) ||
        salt.empty() || expected.size() != kHashBytes)
        return false;
    unsigned char actual[kHashBytes];
    if (!Pbkdf2(password, salt, iterations, actual, sizeof actual))
        return false;
    return CRYPTO_memcmp(actual, expected.data(), kHashBytes) == 0;
}

CConsoleAuth::CConsoleAuth(std::string passwordHash) : m_hash(std::move(passwordHash)) {}

int CConsoleAuth::WaitLeft(const Failures& f, Clock::time_point now) {
    if (now >= f.notBefore)
        return 0;
    const auto wait = std::chrono::ceil<std::chrono::seconds>(f.notBefore - now);
    return static_cast<int>(std::max<long long>(1, wait.count()));
}

int CConsoleAuth::CountFailure(Failures& f, Clock::time_point now) {
    if (f.count == 0 || now - f.windowStart > kFailureWindow) {
        f.count = 0;
        f.windowStart = now;
    }
    f.count = std::min(f.count + 1, kFreeTries + 16);
    f.last = now;
    if (f.count <= kFreeTries)
        return 0;
    const int wait = std::min(kMaxWaitSeconds, 1 << (f.count - kFreeTries - 1));
    f.notBefore = now + std::chrono::seconds(wait);
    return wait;
}

CConsoleAuth::Result CConsoleAuth::CheckPassword(const std::string& client, const std::string& password,
                                                 int& retryAfter, bool trusted) {
    const Clock::time_point now = Clock::now();
    retryAfter = 0;
    if (!trusted) {
        CMutexLock lock(m_mutex);
        auto it = m_failures.find(client);
        const int wait = std::max(it == m_failures.end() ? 0 : WaitLeft(it->second, now),
                                  WaitLeft(m_accountFailures, now));
        if (wait > 0) {
            retryAfter = wait;
            return Result::kTooSoon;
        }
    }
    const bool ok = !m_hash.empty() && VerifyConsolePassword(password, m_hash);
    CMutexLock lock(m_mutex);
    if (ok) {
        m_failures.erase(client);
        m_accountFailures = Failures();
        return Result::kOk;
    }
    ForgetOldClients(now);
    retryAfter = std::max(CountFailure(m_failures[client], now), CountFailure(m_accountFailures, now));
    return Result::kWrong;
}

void CConsoleAuth::ForgetOldClients(Clock::time_point now) {
    for (auto it = m_failures.begin(); it != m_failures.end();)
        it = now - it->second.last > std::chrono::hours(1) ? m_failures.erase(it) : std::next(it);
    while (m_failures.size() >= kMaxTrackedClients) {
        auto oldest = std::min_element(m_failures.begin(), m_failures.end(),
                                       [](const auto& x, const auto& y) { return x.second.last < y.second.last; });
        m_failures.erase(oldest);
    }
}

void CConsoleAuth::NewSession(std::string& token, std::string& csrf) {
    token = RandomToken();
    csrf = RandomToken();
    if (token.empty() || csrf.empty())
        return;  // no randomness: no session (FindSession never accepts "")
    const Clock::time_point now = Clock::now();
    CMutexLock lock(m_mutex);
    for (auto it = m_sessions.begin(); it != m_sessions.end();)
        it = now - it->second.lastUsed > kIdleLimit ? m_sessions.erase(it) : std::next(it);
    if (m_sessions.size() >= kMaxSessions) {
        auto oldest = std::min_element(m_sessions.begin(), m_sessions.end(),
                                       [](const auto& x, const auto& y) { return x.second.lastUsed < y.second.lastUsed; });
        m_sessions.erase(oldest);
    }
    m_sessions[token] = {csrf, now};
}

bool CConsoleAuth::FindSession(const std::string& token, std::string& csrf) {
    if (token.empty())
        return false;
    const Clock::time_point now = Clock::now();
    CMutexLock lock(m_mutex);
    auto it = m_sessions.find(token);
    if (it == m_sessions.end())
        return false;
    if (now - it->second.lastUsed > kIdleLimit) {
        m_sessions.erase(it);
        return false;
    }
    it->second.lastUsed = now;
    csrf = it->second.csrf;
    return true;
}

void CConsoleAuth::EndSession(const std::string& token) {
    CMutexLock lock(m_mutex);
    m_sessions.erase(token);
}
