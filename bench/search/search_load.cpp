// search_load: Z39.50 load client. N concurrent associations each run Search (one title term,
// rotating through a word list) + Present of up to 10 records, back to back, for a fixed time,
// against any target (vk9000 or another server such as Zebra's zebrasrv). Prints requests per
// second (one request = one Search + its Present) and the p50/p99 latency of that pair.
// Usage: search_load HOST PORT DATABASE CLIENTS SECONDS [USER/PASSWORD|-] [ELEMENTS] [USE] [TERMS]
// USE 1003 (author) rotates through frequent surnames instead of title words; TERMS, a
// comma-separated list, replaces either list (for example "a*" for a truncation run; with
// SEARCH_LOAD_TRUNCATION=attribute a trailing "*" is sent as attribute 5=1 instead; leading
// "T=V:" items add attributes, as in "5=2:puter" for left truncation). Also prints
// the search's own p50/p99 and the mean hit count, so that servers can be checked to count alike.
// With SEARCH_LOAD_SCAN=N each request is a Scan of N terms from the term instead (no Present):
// the search columns then give the scan's latency and "hits" the mean entries returned.
// A load run, not a test: nothing is asserted; answers that are not a searchResponse or a
// presentResponse with status 0 (a scanResponse with a status other than failure) count as errors.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "berkit/bernode.h"
#include "berkit/bernode_values.h"
#include "platform/socket.h"

namespace {

using Clock = std::chrono::steady_clock;

// Title words that are frequent in the generated demo records (hits from a few to thousands).
const char* const kTerms[] = {"history", "science",  "computer", "music",   "theory", "modern",
                              "water",   "language", "design",   "culture", "health", "physics",
                              "garden",  "ocean",    "travel",   "poetry",  "energy", "biology"};

// Surnames of the generated records, most frequent first (zipf-distributed in the generator).
const char* const kAuthorTerms[] = {"smith",  "johnson",  "williams", "brown",    "jones",  "miller",
                                    "davis",  "wilson",   "anderson", "taylor",   "thomas", "moore",
                                    "martin", "jackson",  "thompson", "white",    "harris", "clark"};

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string database;
    int clients = 1;
    double seconds = 5;
    std::string user;  // "user/password" for an idPass Init; empty: anonymous
    std::string elements = "F";
    int use = 4;
    std::vector<std::string> terms;
    bool truncationAttribute = false;  // SEARCH_LOAD_TRUNCATION=attribute
    int scanTerms = 0;                 // SEARCH_LOAD_SCAN: scan this many terms instead of searching
};

CByteArray Encode(CBERNode& root) {
    CByteArray out;
    root.EncodeBER(out);
    return out;
}

void AddText(CBERNode* parent, unsigned char cls, unsigned tag, std::string text) {
    parent->NewChildCharNode(cls, BER_PRIMITIVE, tag, text.data(), static_cast<int>(text.size()));
}

CByteArray InitRequest(const Options& o) {
    CBERNode root;
    CBERNode* init = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 20);
    init->NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, 3, "yyy");
    init->NewChildBitStringNode(BER_CONTEXT, BER_PRIMITIVE, 4, "yyy");
    init->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 5, 1 << 20);
    init->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 6, 1 << 20);
    const size_t slash = o.user.find('/');
    if (!o.user.empty() && slash != std::string::npos) {
        CBERNode* auth = init->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 7);
        CBERNode* idPass = auth->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
        AddText(idPass, BER_CONTEXT, 1, o.user.substr(0, slash));
        AddText(idPass, BER_CONTEXT, 2, o.user.substr(slash + 1));
    }
    AddText(init, BER_CONTEXT, 110, "81");
    AddText(init, BER_CONTEXT, 111, "search_load");
    return Encode(root);
}

CByteArray SearchRequest(const Options& o, const std::string& term) {
    CBERNode root;
    CBERNode* search = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 22);
    search->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 13, 0);
    search->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 14, 1);
    search->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 15, 0);
    search->NewChildBooleanNode(BER_CONTEXT, BER_PRIMITIVE, 16, true);
    AddText(search, BER_CONTEXT, 17, "1");
    CBERNode* names = search->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 18);
    AddText(names, BER_CONTEXT, 105, o.database);
    CBERNode* query = search->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 21);
    CBERNode* rpnQuery = query->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 1);
    rpnQuery->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "1.2.840.10003.3.1");
    CBERNode* op = rpnQuery->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 0);
    CBERNode* apt = op->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 102);
    CBERNode* attrs = apt->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 44);
    CBERNode* element = attrs->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
    element->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 120, 1);
    element->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 121, o.use);
    std::string text = term;
    // Leading "T=V:" items are further attributes of the term ("5=2:puter": left truncation).
    for (size_t colon; (colon = text.find(':')) != std::string::npos && text.find('=') < colon;) {
        const long type = std::strtol(text.c_str(), nullptr, 10);
        const long value = std::strtol(text.c_str() + text.find('=') + 1, nullptr, 10);
        CBERNode* extra = attrs->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
        extra->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 120, int(type));
        extra->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 121, int(value));
        text.erase(0, colon + 1);
    }
    if (o.truncationAttribute && !text.empty() && text.back() == '*') {
        // Right truncation as attribute 5=1 instead of a trailing "*" (for servers that want it).
        text.pop_back();
        CBERNode* truncation = attrs->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
        truncation->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 120, 5);
        truncation->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 121, 1);
    }
    AddText(apt, BER_CONTEXT, 45, text);
    return Encode(root);
}

// A scanRequest of o.scanTerms terms from `term` on (position 1, step 0) for use o.use.
CByteArray ScanRequest(const Options& o, const std::string& term) {
    CBERNode root;
    CBERNode* scan = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 35);
    CBERNode* names = scan->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 3);
    AddText(names, BER_CONTEXT, 105, o.database);
    scan->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "1.2.840.10003.3.1");
    CBERNode* apt = scan->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 102);
    CBERNode* attrs = apt->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 44);
    CBERNode* element = attrs->NewChildNoContentNode(BER_UNIVERSAL, BER_CONSTRUCTED, 16);
    element->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 120, 1);
    element->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 121, o.use);
    AddText(apt, BER_CONTEXT, 45, term);
    scan->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 5, 0);
    scan->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 6, o.scanTerms);
    scan->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 7, 1);
    return Encode(root);
}

CByteArray PresentRequest(const Options& o, int count) {
    CBERNode root;
    CBERNode* present = root.NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 24);
    AddText(present, BER_CONTEXT, 31, "1");
    present->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 30, 1);
    present->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 29, count);
    CBERNode* composition = present->NewChildNoContentNode(BER_CONTEXT, BER_CONSTRUCTED, 19);
    AddText(composition, BER_CONTEXT, 0, o.elements);
    present->NewChildOIDNode(BER_CONTEXT, BER_PRIMITIVE, 104, "1.2.840.10003.5.10");
    return Encode(root);
}

// Sends `request` and reads one whole BER answer into `answer` (at most 10 s).
bool RoundTrip(int fd, const CByteArray& request, CByteArray& answer) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return false;
    answer.clear();
    unsigned char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            return false;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        answer.insert(answer.end(), buffer, buffer + n);
        long total = 0;
        if (IsCompleteBER(answer.data(), static_cast<long>(answer.size()), &total))
            return true;
        if (answer.size() > (64u << 20))
            return false;
    }
}

// The integer child `tag` of the decoded APDU, or -1.
long ApduInteger(CByteArray& pdu, unsigned apduTag, unsigned tag) {
    CBERNode root;
    try {
        if (DecodeBER(&root, pdu.data(), static_cast<int>(pdu.size())) < 0 || root.m_arrChildren.empty())
            return -1;
    } catch (...) {
        return -1;
    }
    CBERNode* apdu = root.m_arrChildren[0];
    if (apdu->m_uTag != apduTag)
        return -1;
    for (CBERNode* c : apdu->m_arrChildren)
        if (c && c->m_uTag == tag) {
            long v = -1;
            DecodeInteger(c->m_baContent, v);
            return v;
        }
    return -1;
}

struct ClientResult {
    std::vector<double> latencies;  // ms per Search + Present
    std::vector<double> searches;   // ms per Search alone
    double hits = 0;                // sum of the hit counts
    long errors = 0;
};

void RunClient(const Options& o, int index, Clock::time_point end, ClientResult& result) {
    int error = 0;
    const int fd = PlatConnect(o.host.c_str(), static_cast<unsigned short>(o.port), error);
    if (fd < 0) {
        ++result.errors;
        return;
    }
    CByteArray answer;
    if (!RoundTrip(fd, InitRequest(o), answer)) {
        ++result.errors;
        close(fd);
        return;
    }
    std::vector<CByteArray> searches;
    for (const std::string& term : o.terms)
        searches.push_back(o.scanTerms > 0 ? ScanRequest(o, term) : SearchRequest(o, term));
    const CByteArray present = PresentRequest(o, 10);
    size_t next = static_cast<size_t>(index) % searches.size();
    result.latencies.reserve(100000);
    result.searches.reserve(100000);
    while (Clock::now() < end) {
        const auto start = Clock::now();
        if (!RoundTrip(fd, searches[next], answer)) {
            ++result.errors;
            break;
        }
        result.searches.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        next = (next + 1) % searches.size();
        if (o.scanTerms > 0) {  // entries returned; status 6 is a failure
            const long status = ApduInteger(answer, 36, 4);
            result.hits += double(std::max(ApduInteger(answer, 36, 5), 0L));
            if (status < 0 || status > 5)
                ++result.errors;
            result.latencies.push_back(result.searches.back());
            continue;
        }
        const long hits = ApduInteger(answer, 23, 23);
        result.hits += double(std::max(hits, 0L));
        if (hits < 0) {
            ++result.errors;
            continue;
        }
        if (hits > 0) {
            if (!RoundTrip(fd, present, answer)) {
                ++result.errors;
                break;
            }
            if (ApduInteger(answer, 25, 27) != 0)
                ++result.errors;
        }
        result.latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr,
                     "usage: search_load HOST PORT DATABASE CLIENTS SECONDS [USER/PASSWORD|-] [ELEMENTS] [USE] "
                     "[TERMS]\n");
        return 2;
    }
    Options o;
    o.host = argv[1];
    o.port = std::atoi(argv[2]);
    o.database = argv[3];
    o.clients = std::clamp(std::atoi(argv[4]), 1, 512);
    o.seconds = std::clamp(std::atof(argv[5]), 0.1, 600.0);
    if (argc > 6 && std::string(argv[6]) != "-")
        o.user = argv[6];
    if (argc > 7)
        o.elements = argv[7];
    if (argc > 8)
        o.use = std::atoi(argv[8]);
    const char* truncation = std::getenv("SEARCH_LOAD_TRUNCATION");
    o.truncationAttribute = truncation != nullptr && std::string(truncation) == "attribute";
    if (const char* scan = std::getenv("SEARCH_LOAD_SCAN"))
        o.scanTerms = std::clamp(std::atoi(scan), 0, 1000);
    if (argc > 9) {
        const std::string list = argv[9];
        for (size_t pos = 0; pos <= list.size();) {
            size_t comma = list.find(',', pos);
            if (comma == std::string::npos)
                comma = list.size();
            if (comma > pos)
                o.terms.push_back(list.substr(pos, comma - pos));
            pos = comma + 1;
        }
    } else if (o.use == 1003) {
        o.terms.assign(std::begin(kAuthorTerms), std::end(kAuthorTerms));
    } else {
        o.terms.assign(std::begin(kTerms), std::end(kTerms));
    }
    if (o.terms.empty()) {
        std::fprintf(stderr, "search_load: no search terms\n");
        return 2;
    }

    std::vector<ClientResult> results(static_cast<size_t>(o.clients));
    std::vector<std::thread> threads;
    const auto begin = Clock::now();
    const auto end = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    for (int i = 0; i < o.clients; ++i)
        threads.emplace_back(RunClient, std::cref(o), i, end, std::ref(results[static_cast<size_t>(i)]));
    for (auto& t : threads)
        t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();

    std::vector<double> all;
    std::vector<double> searches;
    double hits = 0;
    long errors = 0;
    for (const ClientResult& r : results) {
        all.insert(all.end(), r.latencies.begin(), r.latencies.end());
        searches.insert(searches.end(), r.searches.begin(), r.searches.end());
        hits += r.hits;
        errors += r.errors;
    }
    std::sort(all.begin(), all.end());
    std::sort(searches.begin(), searches.end());
    auto pct = [](const std::vector<double>& v, double q) {
        return v.empty() ? 0.0 : v[std::min(v.size() - 1, size_t(q * double(v.size())))];
    };
    std::printf("clients=%d requests=%zu rps=%.0f p50=%.2fms p99=%.2fms search_p50=%.2fms search_p99=%.2fms "
                "hits=%.0f errors=%ld\n",
                o.clients, all.size(), double(all.size()) / elapsed, pct(all, 0.50), pct(all, 0.99),
                pct(searches, 0.50), pct(searches, 0.99), searches.empty() ? 0.0 : hits / double(searches.size()),
                errors);
    return errors == 0 ? 0 : 1;
}
