// Channels on several threads: API_Cancel ends a long call; readers never see a torn record or
// an index entry without its record while a writer replaces records.
#include <atomic>
#include <chrono>
#include <thread>

#include "strata_fixture.h"

namespace {

class StrataConcurrencyTest : public StrataStoreTest {};

TEST_P(StrataConcurrencyTest, CancelFromAnotherThreadEndsALongSearch) {
    LoadLongSearch();
    CConnect c;
    Open(c);
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        for (int i = 0; i < 5000 && !done.load(); ++i) {
            c.API_Cancel();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    CPackage pkg;
    const auto start = std::chrono::steady_clock::now();
    const int r = Search(c, "books/title/beta alpha", 5, pkg);
    done = true;
    canceller.join();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(LastCode(c), kStrataCancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The channel stays usable after a cancel.
    EXPECT_EQ(AllHits(c, "books/title/alpha").size(), 30000u);
}

TEST_P(StrataConcurrencyTest, EightReadersSeeWholeRecordsWhileOneWriterReplaces) {
    constexpr int kRecords = 200;
    std::vector<std::string> records;
    for (int i = 1; i <= kRecords; ++i) records.push_back(MakeDiriv(i, "gen0 shared"));
    Load(records);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::atomic<int> reads{0};
    std::thread writer([&] {
        CConnect w;
        Open(w);
        std::vector<char> answer(1024);
        for (int gen = 1; gen <= 30 && failures == 0; ++gen) {
            for (int i = 1; i <= kRecords; i += 7) {
                const std::string path = P("books/ctlno/" + SevenDigitText(i));
                const std::string d = MakeDiriv(i, "gen" + std::to_string(gen) + " shared");
                if (w.API_Write(path.c_str(), d.data(), int(d.size()), answer.data(), 1024, 3, 1) != 1) ++failures;
            }
        }
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            CConnect r;
            Open(r);
            for (int round = 0; !stop.load() && round < 2000; ++round) {
                // Every record stays findable under the word all generations share.
                if (AllHits(r, "books/title/shared").size() != size_t(kRecords)) ++failures;
                const int n = 1 + (round * 7 + t) % kRecords;
                CPackage pkg;
                if (Search(r, "books/ctlno/" + SevenDigitText(n), 3, pkg) < 0 || pkg.CvtPackageToBinFormat(1) != 0) {
                    ++failures;
                    continue;
                }
                const std::string text(reinterpret_cast<const char*>(pkg.GetRecord(0)->data()) + 9);
                const size_t g = text.find("gen");
                const std::string title = text.substr(g, text.find(" shared") - g);
                if (text != MakeDiriv(n, title + " shared")) ++failures;
                ++reads;
            }
        });
    }
    writer.join();
    for (auto& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(reads.load(), 8);
    // Afterwards the index agrees with the records: each record is found under its own generation.
    CConnect c;
    Open(c);
    size_t total = 0;
    for (int gen = 0; gen <= 30; ++gen) total += AllHits(c, "books/title/gen" + std::to_string(gen)).size();
    EXPECT_EQ(total, size_t(kRecords));
}

STRATA_ENGINE_TESTS(StrataConcurrencyTest);

}  // namespace
