#pragma once
// CChannelAccess and CSearchContext: everything the search engine needs from the front end that
// calls it, with no session in it: the back-end channel and the account to use it as, the hit
// limit, the stop flag, the catalogue view, the named sets a query may refer to and the databases
// to search. A Z39.50 association fills one per request; so can any other front end or a test.
// Ownership: the context points at objects of its caller, which must outlive every engine call
// made with it. Thread safety: one thread (the caller's) at a time.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "backend/strata/strata_channel.h"
#include "server/diagnostic.h"
#include "server/pager.h"

class CCatalogueView;
class CResultSetStore;

struct CChannelAccess {
    CBackendPager* m_pager = nullptr;    // every back-end call goes through it; required
    CInterface* m_interface = nullptr;   // the interface channels are opened with; null: none
    std::string m_user;                  // the account the channel works as
    std::string m_password;
    bool m_allowAnonymous = false;       // a refused login falls back to the anonymous account
    // Called when a call found the back-end lost (5 or 66), before the call's result is used.
    std::function<void()> m_lost;
    // Called when a call got an answer from the back-end (any result but kBroken and kStopped).
    std::function<void()> m_answered;

    // Prepares the channel as the account unless it already is (CBackendPager::Prepare). False
    // with a system error in `error` when there is no interface or the channel cannot be opened.
    bool Prepare(CDiagnostic& error) const;
    void Lost() const {
        if (m_lost)
            m_lost();
    }
    // After every back-end call: Lost() when it found the back-end lost, else m_answered when
    // the back-end answered.
    void Outcome(CPagerResult result) const {
        if (result == CPagerResult::kBroken)
            Lost();
        else if (result != CPagerResult::kStopped && m_answered)
            m_answered();
    }
};

struct CSearchContext {
    CChannelAccess m_channel;
    std::vector<std::string> m_databases;   // as the client named them; rows carry these names
    CCatalogueView* m_catalogue = nullptr;  // resolves m_databases; required
    CResultSetStore* m_sets = nullptr;      // named sets a query may refer to; null: none
    int64_t m_hitLimit = 0;                 // rows per operand and database list; past it, no more
    const std::atomic<bool>* m_stop = nullptr;  // null: never stopped
    bool m_bib1 = false;                    // bib-1 diagnostics mode: lenient operands, 5=1, 114
    int m_defaultUse = 1016;                // use attribute of an operand without one (m_bib1)
    // Polled after each page of hits: true when nobody waits for the answer any more (the caller
    // has dealt with that); the search then ends without a result. Empty: never.
    std::function<bool()> m_abandoned;

    bool Stopping() const { return m_stop != nullptr && m_stop->load(); }
};
