// CStrataEngine's writes of posting lists (layout in strata_engine.h): numbers merged into the
// blocks they fall in, and bulk appends of full blocks after the lists' final blocks.
#include <algorithm>

#include "backend/strata/strata_engine.h"
#include "backend/strata/strata_errors.h"
#include "backend/strata/strata_postings.h"

namespace {

bool Decode(std::string_view data, std::vector<uint32_t>& out, StrataStatus& st) {
    if (!DecodePostingBlock(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out))
        return st.Set(kStrataStoreError, "damaged posting block; run a reindex of the database");
    return true;
}

// One block on its way into the postings table.
struct NewBlock {
    int64_t m_k;
    const std::string* m_tok;
    int64_t m_last, m_n;
    std::string m_data;
};

// `numbers` cut into full blocks (the remainder last), appended to `out`.
void CutBlocks(int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers, std::vector<NewBlock>& out) {
    for (size_t from = 0; from < numbers.size(); from += kPostingBlockMax) {
        const size_t count = std::min(kPostingBlockMax, numbers.size() - from);
        NewBlock b{k, &tok, int64_t(numbers[from + count - 1]), int64_t(count), {}};
        EncodePostingBlock(numbers.data() + from, count, b.m_data);
        out.push_back(std::move(b));
    }
}

}  // namespace

bool CStrataEngine::ApplyPostings(CStrataCall& call, std::vector<StrataPosting>& postings, bool remove) {
    return StrataForEachList(postings, [&](int64_t k, const std::string& tok, const std::vector<uint32_t>& numbers) {
        return ApplyList(call, k, tok, numbers, remove);
    });
}

bool CStrataEngine::ApplyList(CStrataCall& call, int64_t k, const std::string& tok,
                              const std::vector<uint32_t>& numbers, bool remove) {
    std::vector<uint32_t> block, merged;
    size_t i = 0;
    while (i < numbers.size()) {
        int64_t last = -1;  // the key of the block the numbers go to; -1 none
        block.clear();
        {
            CQuery q(call, StrataSql::kBlockAtOrAfter, "index");
            if (q.Bind(1, k).Bind(2, tok).Bind(3, int64_t(numbers[i])).Next()) {
                last = q.Int(0);
                if (!Decode(q.Bytes(1), block, call.Status())) return false;
            }
            if (q.Failed()) return false;
        }
        size_t j = numbers.size();
        if (last >= 0) {
            j = size_t(std::upper_bound(numbers.begin() + std::ptrdiff_t(i), numbers.end(), uint32_t(last)) -
                       numbers.begin());
        } else {
            if (remove) return true;  // above every block: not in the list
            // Above every block: the list's final block takes the rest (a new list when none).
            CQuery q(call, StrataSql::kFinalBlock, "index");
            if (q.Bind(1, k).Bind(2, tok).Next()) {
                last = q.Int(0);
                if (!Decode(q.Bytes(1), block, call.Status())) return false;
            }
            if (q.Failed()) return false;
        }
        StrataMergeBlock(block, numbers.data() + i, numbers.data() + j, remove, merged);
        if (merged.size() != block.size() && !WriteBlocks(call, k, tok, last, merged)) return false;
        i = j;
    }
    return true;
}

bool CStrataEngine::WriteBlocks(CStrataCall& call, int64_t k, const std::string& tok, int64_t oldLast,
                                const std::vector<uint32_t>& numbers) {
    if (oldLast >= 0 &&
        !CQuery(call, StrataSql::kDeleteBlock, "index").Bind(1, k).Bind(2, tok).Bind(3, oldLast).Run()) {
        return false;
    }
    std::vector<NewBlock> blocks;
    CutBlocks(k, tok, numbers, blocks);
    for (const NewBlock& b : blocks) {
        CQuery q(call, StrataSql::kInsertBlock, "index");
        if (!q.Bind(1, k).Bind(2, tok).Bind(3, b.m_last).Bind(4, b.m_n).Blob(5, b.m_data).Run()) return false;
    }
    return true;
}

bool CStrataEngine::AppendPostings(CStrataCall& call, std::vector<StrataPosting>& postings) {
    StrataStatus& st = call.Status();
    std::sort(postings.begin(), postings.end());
    // The final block of every touched list, one statement per key.
    struct Final {
        int64_t m_last = -1;
        std::string m_data;
    };
    std::map<std::pair<int64_t, std::string>, Final> finals;
    std::vector<std::string> tokens;
    for (size_t i = 0; i < postings.size();) {
        const int64_t k = postings[i].m_key;
        tokens.clear();
        size_t j = i;
        for (; j < postings.size() && postings[j].m_key == k; ++j) {
            if (tokens.empty() || tokens.back() != postings[j].m_token) tokens.push_back(postings[j].m_token);
        }
        CQuery q(call, StrataSql::kFinalBlocks, "index");
        q.Bind(1, k).Bind(2, tokens);
        while (q.Next()) finals[{k, q.Text(0)}] = Final{q.Int(1), q.Text(2)};
        if (q.Failed()) return false;
        i = j;
    }
    // Lists that take numbers below their final block's last are merged block by block now;
    // the others get their final block rewritten with the new numbers after it.
    std::vector<int64_t> deleteKeys, deleteLasts;
    std::vector<std::string> deleteTokens;
    std::vector<NewBlock> blocks;
    std::vector<uint32_t> numbers;
    const bool merged = StrataForEachList(postings, [&](int64_t k, const std::string& tok,
                                                        const std::vector<uint32_t>& added) {
        const auto it = finals.find({k, tok});
        numbers.clear();
        if (it != finals.end()) {
            if (added.front() <= uint32_t(it->second.m_last)) return ApplyList(call, k, tok, added, false);
            if (!Decode(it->second.m_data, numbers, st)) return false;
            deleteKeys.push_back(k);
            deleteTokens.push_back(tok);
            deleteLasts.push_back(it->second.m_last);
        }
        numbers.insert(numbers.end(), added.begin(), added.end());
        CutBlocks(k, tok, numbers, blocks);
        return true;
    });
    if (!merged) return false;
    if (!deleteKeys.empty() && !CQuery(call, StrataSql::kDeleteBlocks, "index")
                                    .Bind(1, deleteKeys)
                                    .Bind(2, deleteTokens)
                                    .Bind(3, deleteLasts)
                                    .Run()) {
        return false;
    }
    if (blocks.empty()) return true;
    std::unique_ptr<IStrataCopy> copy = call.Conn().Copy(StrataSql::kInsertBlock, st);
    if (!copy) return false;
    for (const NewBlock& b : blocks) {
        copy->Int(b.m_k);
        copy->Text(*b.m_tok);
        copy->Int(b.m_last);
        copy->Int(b.m_n);
        copy->Blob(b.m_data);
        if (!copy->EndRow(st)) return false;
    }
    return copy->Finish(st);
}
