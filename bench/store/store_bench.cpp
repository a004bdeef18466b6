// store_bench: generates N MARC 21-like Diriv records (titles, authors, subjects from word lists;
// every tenth record Chinese, stored in the ANSI code page), loads them through CStrataAdmin in
// batches of 10,000, then times one-term searches through CConnect::API_Search (first page of
// hits into a 65535-octet buffer): a frequent word, rare words and a two-character CJK substring,
// and the latency of single-record updates (replace through API_Write, each one durable commit).
// Usage: store_bench [records=1000000] [folder=/tmp]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "backend/strata/strata_admin.h"
#include "backend/strata/strata_channel.h"
#include "backend/strata/strata_package.h"
#include "backend/strata/strata_routines.h"
#include "berkit/codepage.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kWords[] = {"history", "of", "the", "modern", "world", "science", "art", "introduction",
                              "theory", "practice", "guide", "china", "economics", "language", "systems",
                              "network", "design", "analysis", "culture", "poetry", "music", "law"};
const char* const kNames[] = {"Smith", "Wang", "Li", "Zhang", "Brown", "Garcia", "Chen", "Miller", "Liu", "Davis"};
const char* const kCjk[] = {"中国", "历史", "信息", "文化", "经济", "研究", "科学", "技术", "文学", "发展",
                            "社会", "教育", "管理", "艺术", "语言", "理论", "世界", "现代", "图书", "系统"};

std::string Seven(int64_t n) {
    char t[24];
    snprintf(t, sizeof t, "%07lld", static_cast<long long>(n));
    return t;
}

std::string Field(const std::string& tag, const std::string& a, const std::string& b = "") {
    std::string f = tag + "10\x1f" "a" + a;
    if (!b.empty()) f += "\x1f" "b" + b;
    return f + "\x1e";
}

std::string MakeRecord(int64_t n, std::mt19937& rng, const std::vector<std::string>& cjkAnsi) {
    std::string d = "00000nam  2200000   4500001" + Seven(n) + "\x1e";
    std::string title, author, subject;
    if (n % 10 == 0) {
        for (int i = 0; i < 4; ++i) title += cjkAnsi[rng() % cjkAnsi.size()];
        author = cjkAnsi[rng() % cjkAnsi.size()];
        subject = cjkAnsi[rng() % cjkAnsi.size()] + cjkAnsi[rng() % cjkAnsi.size()];
    } else {
        const int words = 3 + int(rng() % 4);
        for (int i = 0; i < words; ++i) title += std::string(i ? " " : "") + kWords[rng() % std::size(kWords)];
        title += " w" + std::to_string(rng() % 100000);  // a rare word, about N/100000 records each
        author = std::string(kNames[rng() % std::size(kNames)]) + ", " + kNames[rng() % std::size(kNames)];
        subject = std::string(kWords[rng() % std::size(kWords)]) + " -- " + kWords[rng() % std::size(kWords)];
    }
    d += Field("100", author) + Field("245", title, "a generated record") + Field("650", subject);
    return d + "\x1d";
}

void Report(const char* what, std::vector<double>& ms, size_t hits) {
    std::sort(ms.begin(), ms.end());
    const double p50 = ms[ms.size() / 2];
    const double p99 = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    printf("%-28s p50 %7.3f ms  p99 %7.3f ms  (%zu runs, first page %zu hits)\n", what, p50, p99, ms.size(), hits);
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t total = argc > 1 ? atoll(argv[1]) : 1000000;
    const std::string base = argc > 2 ? argv[2] : "/tmp";
    if (total < 1 || total > 9999999) {
        fprintf(stderr, "store_bench: records must be 1 to 9999999\n");
        return 2;
    }
    const std::string folder = base + "/store-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    std::string error;
    auto admin = CStrataAdmin::Create(StrataStoreFile(folder, "bench"), error);
    if (!admin || admin->AddDatabase("books", error) < 0 ||
        admin->PutCfgFile("books", "keys.cfg",
                          "key name=\"title\" fields=\"245a\"\nkey name=\"author\" fields=\"100a\"\n"
                          "key name=\"subject\" fields=\"650a\"\n",
                          error) < 0) {
        fprintf(stderr, "store_bench: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::string> cjkAnsi;
    for (const char* w : kCjk) cjkAnsi.push_back(Utf8ToAnsi(w));
    std::mt19937 rng(12345);
    const auto loadStart = Clock::now();
    std::vector<std::string> batch;
    std::vector<StrataRejectedRecord> rejected;
    for (int64_t n = 1; n <= total; ++n) {
        batch.push_back(MakeRecord(n, rng, cjkAnsi));
        if (batch.size() == 10000 || n == total) {
            if (admin->LoadRecords("books", batch, rejected, error) != int(batch.size())) {
                fprintf(stderr, "store_bench: load failed at %lld: %s\n", static_cast<long long>(n), error.c_str());
                return 1;
            }
            batch.clear();
        }
    }
    const double loadSeconds = std::chrono::duration<double>(Clock::now() - loadStart).count();
    printf("loaded %lld records in %.1f s: %.0f records/s (generation included)\n", static_cast<long long>(total),
           loadSeconds, double(total) / loadSeconds);
    if (admin->AddAccount("writer", "writer", kStrataRightRead | kStrataRightWrite, error) < 0) {
        fprintf(stderr, "store_bench: %s\n", error.c_str());
        return 1;
    }
    admin.reset();

    CInterface::SetStoreFolder(folder);
    CInterface iface;
    CConnect c;
    iface.LoadLibraryA("localcore32.dll", "bench");
    PrepareDatabaseChannel(c, "writer", "writer", &iface);
    if (LoginDatabase(c, "", false, "public", "") != 0) {
        fprintf(stderr, "store_bench: login failed\n");
        return 1;
    }
    std::vector<char> buffer(65535);
    auto timeSearch = [&](const std::string& path, size_t& hits) {
        const auto t0 = Clock::now();
        const int r = c.API_Search(path.c_str(), int(path.size()) + 1, buffer.data(), int(buffer.size()), 5);
        CPackage pkg;
        hits = 0;
        if (r > 0 && pkg.LoadPackage(buffer.data(), buffer.size()) == 0 && pkg.CvtPackageToLineFormat(1) == 0) {
            hits = pkg.GetLineCount();
        }
        return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    };
    struct Query {
        const char* m_name;
        std::vector<std::string> m_paths;
    };
    std::vector<Query> queries = {{"frequent word (history)", {"books/title/history"}},
                                  {"rare word (w<n>)", {}},
                                  {"CJK 2-char substring", {}}};
    for (int i = 0; i < 200; ++i) queries[1].m_paths.push_back("books/title/w" + std::to_string((i * 7919) % 100000));
    for (const std::string& w : cjkAnsi) queries[2].m_paths.push_back("books/title/" + w);
    for (Query& q : queries) {
        std::vector<double> ms;
        size_t hits = 0, maxHits = 0;
        for (int i = 0; i < 300; ++i) {
            ms.push_back(timeSearch(q.m_paths[size_t(i) % q.m_paths.size()], hits));
            maxHits = std::max(maxHits, hits);
        }
        Report(q.m_name, ms, maxHits);
    }
    // Updates: replace one record at a time; each API_Write returns after its commit is synced.
    std::vector<double> writes;
    std::vector<char> answer(4096);
    for (int i = 0; i < 200; ++i) {
        const int64_t n = 1 + (int64_t(i) * 7919) % total;
        const std::string record = MakeRecord(n, rng, cjkAnsi);
        const std::string path = "books/ctlno/" + Seven(n);
        const auto t0 = Clock::now();
        const int r = c.API_Write(path.c_str(), record.data(), int(record.size()), answer.data(), int(answer.size()), 3, 1);
        writes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (r != 1) {
            int code = 0;
            c.GetLastError(code, error);
            fprintf(stderr, "store_bench: update of %s failed: %s\n", path.c_str(), error.c_str());
            return 1;
        }
    }
    Report("update (replace, durable)", writes, 1);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return 0;
}
