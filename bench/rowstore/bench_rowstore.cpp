// Result-set costs at search scale: filling a 1,000,000-row set, sorting it (sort, duplicate
// removal, file rewrite), and the And / Or merges of two sorted 500,000-row sets. Data files go
// to $TMPDIR (or /tmp).
#include <benchmark/benchmark.h>

#include <memory>
#include <random>

#include "server/zrecordset.h"

namespace {

// Rows of a typical multi-database search: three names, numbers drawn with about 5 % repeats.
void FillRandom(CZRecordSet& set, int rows, unsigned seed) {
    static const char* kNames[] = {"books", "unimarc", "serials"};
    std::mt19937_64 random(seed);
    set.Create(nullptr);
    for (int i = 0; i < rows; ++i)
        set.Add(kNames[random() % 3], static_cast<int64_t>(random() % (rows * 19ULL / 20 + 1)));
}

void BM_Add(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    for (auto _ : state) {
        CZRecordSet set;
        FillRandom(set, rows, 1);
        set.EnsureIndexed();
        benchmark::DoNotOptimize(set.GetRowCount());
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

void BM_SortAndDedupe(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto set = std::make_unique<CZRecordSet>();
        FillRandom(*set, rows, 2);
        set->EnsureIndexed();
        state.ResumeTiming();
        if (set->Sort(0) != 0)
            state.SkipWithError("sort failed");
        state.PauseTiming();  // the set's destruction (file removal) is not part of the sort
        state.counters["rows_after_dedupe"] = static_cast<double>(set->GetRowCount());
        set.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * rows);
}

void BM_Merge(benchmark::State& state) {
    const int rows = static_cast<int>(state.range(0));
    CZRecordSet left, right;
    FillRandom(left, rows, 3);
    FillRandom(right, rows, 4);
    left.Sort(0);
    right.Sort(0);
    const bool isAnd = state.range(1) == 0;
    for (auto _ : state) {
        CZRecordSet out;
        const int rc = isAnd ? left.And(right, out) : left.Or(right, out);
        if (rc != 0)
            state.SkipWithError("merge failed");
        state.counters["rows_out"] = static_cast<double>(out.GetRowCount());
        state.PauseTiming();
        out.ClearResource();
        state.ResumeTiming();
    }
    state.SetLabel(isAnd ? "And" : "Or");
}

BENCHMARK(BM_Add)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SortAndDedupe)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Merge)->Args({500000, 0})->Args({500000, 1})->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
