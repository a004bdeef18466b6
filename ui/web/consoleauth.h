#pragma once
// CConsoleAuth: the operator's access to the console: one password, kept only as a salted PBKDF2
// hash ("pbkdf2-sha256$ITERATIONS$SALT$HASH", hex), login sessions named by random tokens, a CSRF
// token per session, and a slow-down for repeated wrong passwords: the first kFreeTries wrong
// passwords within kFailureWindow cost nothing, each one after that doubles the wait (up to a
// minute), counted both per client address and for the operator's account, so neither a typo nor
// other local processes keep the operator out for long. Passwords are never kept or logged; only
// their hashes are compared, in constant time.
// Thread safety: any thread (one mutex); hashing runs outside it.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/mutex.h"

// A new hash of `password` with a fresh random salt ("" when the system has no randomness).
std::string HashConsolePassword(const std::string& password, uint32_t iterations = 200000);
// True when `password` matches `stored` (a HashConsolePassword result); false for a malformed one.
bool VerifyConsolePassword(const std::string& password, const std::string& stored);

class CConsoleAuth {
public:
    using Clock = std::chrono::steady_clock;

    // Idle login sessions end after this long; at most kMaxSessions live at once (the least
    // recently used goes first).
    static constexpr std::chrono::minutes kIdleLimit{30};
    static constexpr size_t kMaxSessions = 64;
    // Addresses remembered for the slow-down.
    static constexpr size_t kMaxTrackedClients = 4096;
    // Wrong passwords allowed without a wait within one window.
    static constexpr int kFreeTries = 5;
    static constexpr std::chrono::seconds kFailureWindow{60};

    explicit CConsoleAuth(std::string passwordHash);

    enum class Result { kOk, kWrong, kTooSoon };
    // Checks `password` from `client`. kTooSoon (with the seconds to wait) while the address or
    // the account is being slowed down, without looking at the password; kWrong with the wait the
    // failure starts in `retryAfter` (0: none). `trusted` (the request holds a live session)
    // skips the waits, so that a flood of wrong passwords cannot lock out a logged-in browser.
    Result CheckPassword(const std::string& client, const std::string& password, int& retryAfter,
                         bool trusted = false);

    // A new login session: its token (for the cookie) and its CSRF token.
    void NewSession(std::string& token, std::string& csrf);
    // True when `token` names a live session (and refreshes it); its CSRF token in `csrf`.
    bool FindSession(const std::string& token, std::string& csrf);
    void EndSession(const std::string& token);

private:
    struct Session {
        std::string csrf;
        Clock::time_point lastUsed;
    };
    struct Failures {
        int count = 0;  // within the window that started at windowStart
        Clock::time_point windowStart;
        Clock::time_point notBefore;
        Clock::time_point last;
    };
    // Seconds until `f` may try again at `now` (0: now).
    static int WaitLeft(const Failures& f, Clock::time_point now);
    // Counts one failure; the wait it starts, in seconds.
    static int CountFailure(Failures& f, Clock::time_point now);
    void ForgetOldClients(Clock::time_point now) REQUIRES(m_mutex);

    const std::string m_hash;  // constant after construction
    CMutex m_mutex;
    std::map<std::string, Session> m_sessions GUARDED_BY(m_mutex);
    std::map<std::string, Failures> m_failures GUARDED_BY(m_mutex);  // by client address
    Failures m_accountFailures GUARDED_BY(m_mutex);                   // the operator's account
};
