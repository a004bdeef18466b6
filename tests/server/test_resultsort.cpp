// CSortKeyStore: the key rows of a Sort order like a stable sort of the keys, in memory and
// through the row store's external sort, with missing values last; a stop ends the sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <optional>
#include <random>

#include "server/resultsort.h"

namespace {

using Keys = std::vector<std::optional<std::string>>;

class SortKeyStoreTest : public ::testing::TestWithParam<int64_t> {
protected:
    void TearDown() override { CMemSort::SetSortMemoryLimit(256LL * 1024 * 1024); }

    // Rows with a two-letter key (many ties) and every seventh key missing.
    static Keys MakeKeys(size_t rows) {
        std::mt19937 random(7);
        Keys keys(rows);
        for (auto& key : keys)
            if (random() % 7 != 0)
                key = std::string{char('a' + random() % 5), char('a' + random() % 5)};
        return keys;
    }
    static int Fill(CSortKeyStore& store, const Keys& keys) {
        if (store.Create(nullptr) != 0)
            return -1;
        for (size_t i = 0; i < keys.size(); ++i)
            if (store.Add(static_cast<uint32_t>(i), {keys[i] ? &*keys[i] : nullptr}) != 0)
                return -1;
        return 0;
    }
};

TEST_P(SortKeyStoreTest, OrderIsAStableSortWithMissingValuesLast) {
    CMemSort::SetSortMemoryLimit(GetParam());
    const Keys keys = MakeKeys(100000);
    for (const bool descending : {false, true}) {
        std::atomic<bool> stop{false};
        CSortKeyStore store({descending}, &stop);
        ASSERT_EQ(0, Fill(store, keys));
        ASSERT_EQ(0, store.SortRows()) << store.GetLastError();
        std::vector<uint32_t> expected(keys.size());
        std::iota(expected.begin(), expected.end(), 0);
        std::stable_sort(expected.begin(), expected.end(), [&](uint32_t a, uint32_t b) {
            if (!keys[a] || !keys[b])
                return keys[a] && !keys[b];
            return descending ? *keys[a] > *keys[b] : *keys[a] < *keys[b];
        });
        ASSERT_EQ(store.GetRowCount(), int64_t(keys.size()));
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(store.PositionAt(int64_t(i)), expected[i]) << "row " << i << " descending " << descending;
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
