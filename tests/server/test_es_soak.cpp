// Concurrency of the update task: two sessions insert and replace records while eight sessions
// search and present the same database. No acknowledged update may be lost, no presented record
// may mix two versions, and afterwards the index must agree with the records.
// The run lasts VELKAN_ES_SOAK_SECONDS (default 20, at most 120).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <thread>

#include "es_test_util.h"

using namespace estest;

namespace {

constexpr int kWriters = 2;
constexpr int kSearchers = 8;
constexpr int kRecordsPerWriter = 40;

// A word of letters only that names a record number and a version: "q" + number + "z" + version,
// digits written as the letters a to j.
std::string Word(int64_t number, int version) {
    auto letters = [](int64_t v) {
        std::string out;
        for (char c : std::to_string(v))
            out += static_cast<char>('a' + (c - '0'));
        return out;
    };
    return "q" + letters(number) + "z" + letters(version);
}

// The record number a word names, or -1.
int64_t WordNumber(const std::string& word) {
    const size_t z = word.find('z');
    if (word.size() < 4 || word[0] != 'q' || z == std::string::npos)
        return -1;
    int64_t value = 0;
    for (size_t i = 1; i < z; ++i)
        value = value * 10 + (word[i] - 'a');
    return value;
}

// One version of a record: the word in the title and, repeated, in a long note.
std::string Version(int64_t number, int version) {
    const std::string word = Word(number, version);
    std::string note;
    for (int i = 0; i < 40; ++i)
        note += word + " ";
    return BookRecord(std::to_string(number), "alpha " + word, note);
}

// True when a presented record is one whole version: its title, note and 001 agree.
bool WholeRecord(const std::string& record) {
    auto fields = ReadFields(record);
    const std::string& title = fields["245"];
    const size_t word = title.find("alpha ");
    if (fields["001"].empty() || word == std::string::npos)
        return false;
    const std::string w = title.substr(word + 6);
    if (WordNumber(w) != std::stoll(fields["001"]))
        return false;
    std::string note;
    for (int i = 0; i < 40; ++i)
        note += w + " ";
    return fields["500"] == "  \x1f" "a" + note;
}

int SoakSeconds() {
    const char* text = std::getenv("VELKAN_ES_SOAK_SECONDS");
    const int seconds = text ? std::atoi(text) : 20;
    return seconds < 1 ? 1 : seconds > 120 ? 120 : seconds;
}

}  // namespace

class ESSoak : public ESServerTest {};

TEST_F(ESSoak, WritersAndSearchersTogetherLoseNothingAndTearNothing) {
    std::atomic<int> writes{0}, writeFailures{0}, searchFailures{0}, torn{0}, presented{0};
    std::map<int64_t, int> acknowledged[kWriters];  // number -> last version answered "done"

    // All sessions are open before any thread starts, so a failed open leaves no thread behind.
    std::vector<int> writerFds, searcherFds;
    for (int w = 0; w < kWriters; ++w) {
        writerFds.push_back(Open("demo", "demo"));
        ASSERT_GE(writerFds.back(), 0);
    }
    for (int s = 0; s < kSearchers; ++s) {
        searcherFds.push_back(Open());
        ASSERT_GE(searcherFds.back(), 0);
    }

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(SoakSeconds());
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        const int fd = writerFds[w];
        threads.emplace_back([&, w, fd] {
            std::mt19937 random(static_cast<unsigned>(w + 1));
            auto& mine = acknowledged[w];
            const int64_t first = 1000000 * (w + 1);
            while (std::chrono::steady_clock::now() < end) {
                const bool insert = mine.size() < static_cast<size_t>(kRecordsPerWriter);
                const int64_t number = insert ? first + static_cast<int64_t>(mine.size())
                                              : first + static_cast<int64_t>(random() % kRecordsPerWriter);
                const int version = insert ? 0 : mine[number] + 1;
                if (Update(fd, insert ? 1 : 2, {Version(number, version)}) == 1) {
                    mine[number] = version;
                    ++writes;
                } else
                    ++writeFailures;
            }
        });
    }
    for (int s = 0; s < kSearchers; ++s) {
        const int fd = searcherFds[s];
        threads.emplace_back([&, s, fd] {
            std::mt19937 random(static_cast<unsigned>(100 + s));
            while (std::chrono::steady_clock::now() < end) {
                const long hits = Hits(fd, "alpha");
                if (hits < 0) {
                    ++searchFailures;
                    return;
                }
                if (hits == 0)
                    continue;
                CBERNode root;
                CBERNode* apdu = Exchange(fd, PresentRequest(1 + static_cast<int>(random() % hits), 1), root);
                if (!apdu || apdu->m_uTag != 25u) {
                    ++searchFailures;
                    return;
                }
                for (const std::string& record : PresentedRecords(apdu)) {
                    ++presented;
                    if (!WholeRecord(record))
                        ++torn;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();

    std::printf("%d updates acknowledged, %d records presented\n", writes.load(), presented.load());
    EXPECT_EQ(0, writeFailures.load());
    EXPECT_EQ(0, searchFailures.load());
    EXPECT_EQ(0, torn.load());
    EXPECT_GT(presented.load(), 0);

    // Every acknowledged version is the stored one, and the index finds exactly what is stored.
    const int fd = Open();
    ASSERT_GE(fd, 0);
    size_t total = 0;
    for (const auto& mine : acknowledged) {
        total += mine.size();
        for (const auto& [number, version] : mine) {
            EXPECT_NE(std::string::npos, Stored(number).find("alpha " + Word(number, version) + "\x1e")) << number;
            ASSERT_EQ(1, Hits(fd, Word(number, version))) << number;
            CBERNode root;
            CBERNode* apdu = Exchange(fd, PresentRequest(1, 1), root);
            ASSERT_NE(nullptr, apdu);
            const auto records = PresentedRecords(apdu);
            ASSERT_EQ(1u, records.size());
            EXPECT_EQ(Version(number, version), records[0]);
            if (version > 0) {
                EXPECT_EQ(0, Hits(fd, Word(number, version - 1))) << "stale index entry of " << number;
            }
        }
    }
    EXPECT_EQ(static_cast<long>(kWriters * kRecordsPerWriter), static_cast<long>(total));
    EXPECT_EQ(static_cast<long>(total), Hits(fd, "alpha"));
}
