// Posting lists: the block codec, and block upkeep under inserts, replaces and deletes checked
// against a plain set, with every way of reading a list (whole, in pages, by a truncated word).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <random>
#include <set>

#include "backend/strata/strata_postings.h"
#include "backend/strata/strata_store.h"
#include "strata_fixture.h"

TEST(StrataPostingBlockTest, RoundTripsAndRefusesDamagedBlocks) {
    const std::vector<uint32_t> numbers = {1, 2, 130, 16513, 2113665, 9999999};
    std::string block;
    EncodePostingBlock(numbers.data(), numbers.size(), block);
    std::vector<uint32_t> back;
    ASSERT_TRUE(DecodePostingBlock(reinterpret_cast<const unsigned char*>(block.data()), block.size(), back));
    EXPECT_EQ(back, numbers);
    CRecordBitmap bits;
    ASSERT_TRUE(bits.SetBlock(reinterpret_cast<const unsigned char*>(block.data()), block.size()));
    back.clear();
    bits.AppendTo(back);
    EXPECT_EQ(back, numbers);

    const struct {
        std::string octets;
        const char* why;
    } bad[] = {
        {"\x05\x80", "varint cut short"},
        {std::string("\x05\x00", 2), "zero difference"},
        {std::string("\xff\xff\xff\xff\x7f", 5), "above 32 bits"},
        {std::string("\x80\x80\x80\x80\x80\x01", 6), "varint too long"},
    };
    for (const auto& b : bad) {
        std::vector<uint32_t> out;
        EXPECT_FALSE(DecodePostingBlock(reinterpret_cast<const unsigned char*>(b.octets.data()), b.octets.size(), out))
            << b.why;
    }
}

class StrataPostingsTest : public StrataStoreTest {};

// max(n), min(n) and the sum of n over the blocks of the token "alpha".
static void AlphaBlocks(bool pg, const std::string& where, int64_t out[3]) {
    out[0] = out[1] = out[2] = -1;
    if (pg) {
        PGconn* c = PQconnectdb(where.c_str());
        PGresult* r = PQexec(c, "SELECT coalesce(max(n), 0), coalesce(min(n), 0), coalesce(sum(n), 0) FROM postings"
                                " WHERE tok='alpha'::bytea");
        if (PQresultStatus(r) == PGRES_TUPLES_OK) {
            for (int i = 0; i < 3; ++i) out[i] = atoll(PQgetvalue(r, 0, i));
        }
        PQclear(r);
        PQfinish(c);
        return;
    }
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_open_v2(where.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT max(n), min(n), total(n) FROM postings WHERE tok='alpha'", -1, &s, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        for (int i = 0; i < 3; ++i) out[i] = sqlite3_column_int64(s, i);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
}

TEST_P(StrataPostingsTest, BlocksFollowInsertsReplacesAndDeletes) {
    StrataStatus st;
    const std::string where = IsPg() ? m_pg.Spec().substr(3) : StrataStoreFile(m_folder, "inst");
    auto store = StrataOpenSpec(IsPg() ? "pg:" + where : "sqlite:" + where, false, st);
    ASSERT_TRUE(store) << st.m_text;
    std::set<int64_t> alpha;  // records whose title holds "alpha"
    std::vector<std::string> load;
    for (int64_t n = 1; n <= 1400; n += 2) {
        load.push_back(MakeDiriv(n, "Alpha " + std::to_string(n)));
        alpha.insert(n);
    }
    // In three loads: the second appends to the lists' final blocks, the third replaces record 1,
    // whose numbers go into the lists' first blocks.
    const std::vector<std::vector<std::string>> loads = {
        {load.begin(), load.begin() + 333}, {load.begin() + 333, load.end()}, {load[0]}};
    std::vector<StrataRejectedRecord> rejected;
    for (const auto& batch : loads) ASSERT_EQ(store->LoadRecords("books", batch, rejected, st), int(batch.size())) << st.m_text;

    auto hits = [&](const std::string& term, size_t page) {
        std::vector<int64_t> all, part;
        bool more = true;
        int64_t after = 0;
        while (more) {
            EXPECT_TRUE(store->Search("books", "title", term, after, page, part, more, st)) << st.m_text;
            if (part.empty()) break;
            all.insert(all.end(), part.begin(), part.end());
            after = part.back();
        }
        return all;
    };
    auto check = [&](int step) {
        const std::vector<int64_t> want(alpha.begin(), alpha.end());
        EXPECT_EQ(hits("alpha", 1000000), want) << "step " << step;
        EXPECT_EQ(hits("alpha", 97), want) << "step " << step;
        EXPECT_EQ(hits("alp*", 53), want) << "step " << step;
        // No block above the limit, none empty, the counts add up.
        int64_t blocks[3];
        AlphaBlocks(IsPg(), where, blocks);
        EXPECT_LE(blocks[0], 256);
        EXPECT_GE(blocks[1], alpha.empty() ? 0 : 1);
        EXPECT_EQ(blocks[2], int64_t(alpha.size()));
    };
    check(0);

    std::mt19937 rng(11);
    std::set<int64_t> present(alpha);
    for (int step = 1; step <= 600; ++step) {
        const int64_t n = int64_t(rng() % 1600) + 1;
        const bool withAlpha = rng() % 3 != 0;
        const std::string record = MakeDiriv(n, withAlpha ? "alpha beta" : "gamma");
        if (present.count(n) == 0) {
            ASSERT_TRUE(store->WriteRecord("books", n, StrataWrite::kInsert, record, st)) << st.m_text;
            present.insert(n);
        } else if (rng() % 2 == 0) {
            ASSERT_TRUE(store->WriteRecord("books", n, StrataWrite::kDelete, std::string(), st)) << st.m_text;
            present.erase(n);
            alpha.erase(n);
            continue;
        } else {
            ASSERT_TRUE(store->WriteRecord("books", n, StrataWrite::kReplace, record, st)) << st.m_text;
        }
        if (withAlpha) alpha.insert(n);
        else alpha.erase(n);
        if (step % 100 == 0) check(step);
    }
    // A reindex rebuilds the same lists.
    ASSERT_TRUE(store->Reindex("books", st)) << st.m_text;
    check(601);
}

// A reindex reads the records in slices of 20,000: the records of the second slice, and one each
// side of the boundary, are found after it as before.
TEST_P(StrataPostingsTest, AReindexOverTwoSlicesKeepsEveryRecordFindable) {
    StrataStatus st;
    auto store = StrataOpenSpec(IsPg() ? m_pg.Spec() : "sqlite:" + StrataStoreFile(m_folder, "inst"), false, st);
    ASSERT_TRUE(store) << st.m_text;
    constexpr int64_t kRecords = 20100;
    std::vector<std::string> load;
    for (int64_t n = 1; n <= kRecords; ++n)
        load.push_back(MakeDiriv(n, n == 20000 || n == 20001 ? "alpha edge" : "alpha"));
    std::vector<StrataRejectedRecord> rejected;
    ASSERT_EQ(store->LoadRecords("books", load, rejected, st), int(kRecords)) << st.m_text;
    ASSERT_TRUE(store->Reindex("books", st)) << st.m_text;
    auto hits = [&](const std::string& term) {
        std::vector<int64_t> part;
        bool more = false;
        EXPECT_TRUE(store->Search("books", "title", term, 0, 100000, part, more, st)) << st.m_text;
        return part;
    };
    EXPECT_EQ(hits("edge"), (std::vector<int64_t>{20000, 20001}));
    const std::vector<int64_t> all = hits("alpha");
    ASSERT_EQ(all.size(), size_t(kRecords));
    EXPECT_EQ(all.back(), kRecords);
}

STRATA_ENGINE_TESTS(StrataPostingsTest);
