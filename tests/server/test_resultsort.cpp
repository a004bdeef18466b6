// CSortKeyStore: the key rows of a Sort order like a stable sort of the keys, in memory and
// through the row store's external sort, with missing values last; a stop ends the sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <optional>
#include <iterator>
#include <random>

#include "server/resultsort.h"

namespace {

// Each row's keys; a missing value is nullopt.
using Keys = std::vector<std::vector<std::optional<std::string>>>;

class SortKeyStoreTest : public ::testing::TestWithParam<int64_t> {
protected:
    void TearDown() override { CMemSort::SetSortMemoryLimit(256LL * 1024 * 1024); }

    // Rows of `count` keys of two letters and zero octets, with lengths about the 15 octets the in-memory sort
    // compares first (many ties, many keys the beginning of others), every seventh missing.
    static Keys MakeKeys(size_t rows, size_t count = 1) {
        static const size_t kLengths[] = {1, 2, 7, 8, 14, 15, 16, 17, 30};
        std::mt19937 random(7);
        Keys keys(rows, std::vector<std::optional<std::string>>(count));
        for (auto& row : keys)
            for (auto& key : row)
                if (random() % 7 != 0) {
                    key.emplace(kLengths[random() % std::size(kLengths)], 'a');
                    for (char& c : *key) {
                        const unsigned r = random() % 16;
                        c = r < 2 ? 'b' : (r == 2 ? '\0' : 'a');  // a zero octet may come from a client
                    }
                }
        return keys;
    }
    static int Fill(CSortKeyStore& store, const Keys& keys) {
        if (store.Create(nullptr) != 0)
            return -1;
        std::vector<std::optional<std::string_view>> row;
        for (size_t i = 0; i < keys.size(); ++i) {
            row.assign(keys[i].begin(), keys[i].end());
            if (store.Add(static_cast<uint32_t>(i), row) != 0)
                return -1;
        }
        return 0;
    }
};

TEST_P(SortKeyStoreTest, OrderIsAStableSortWithMissingValuesLast) {
    CMemSort::SetSortMemoryLimit(GetParam());
    for (const size_t count : {1, 2}) {
        const Keys keys = MakeKeys(100000, count);
        for (const bool descending : {false, true}) {
            std::atomic<bool> stop{false};
            CSortKeyStore store(std::vector<bool>(count, descending), &stop);
            ASSERT_EQ(0, Fill(store, keys));
            ASSERT_EQ(0, store.SortRows()) << store.GetLastError();
            std::vector<uint32_t> expected(keys.size());
            std::iota(expected.begin(), expected.end(), 0);
            std::stable_sort(expected.begin(), expected.end(), [&](uint32_t a, uint32_t b) {
                for (size_t k = 0; k < count; ++k) {
                    const auto &x = keys[a][k], &y = keys[b][k];
                    if (!x || !y) {
                        if (x || y)
                            return bool(x);
                        continue;
                    }
                    if (*x != *y)
                        return descending ? *x > *y : *x < *y;
                }
                return false;
            });
            ASSERT_EQ(store.GetRowCount(), int64_t(keys.size()));
            for (size_t i = 0; i < expected.size(); ++i)
                ASSERT_EQ(store.PositionAt(int64_t(i)), expected[i])
                    << "row " << i << " keys " << count << " descending " << descending;
        }
    }
}

// The default limit sorts 100,000 rows in memory; 64 KiB cuts them into external runs.
INSTANTIATE_TEST_SUITE_P(InMemoryAndExternal, SortKeyStoreTest, ::testing::Values(256LL << 20, 64 << 10));

TEST_F(SortKeyStoreTest, AStopEndsTheExternalSort) {
    CMemSort::SetSortMemoryLimit(64 << 10);
    std::atomic<bool> stop{false};
    CSortKeyStore store({false}, &stop);
    ASSERT_EQ(0, Fill(store, MakeKeys(20000)));
    stop = true;
    EXPECT_EQ(1, store.SortRows());
}

}  // namespace
