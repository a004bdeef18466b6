// BER codec throughput: decoding and encoding a presentResponse of 40 records of about 1 KiB,
// from the definite encoding and from the indefinite-length form real clients and servers send.
#include <benchmark/benchmark.h>

#include <string>

#include "berkit/bernode.h"

namespace {

constexpr int kRecords = 40;
constexpr int kRecordSize = 1024;

// b9 { [24] 40, [25] 41, [27] 0, [28] { 40 x 30 { [0] db, [1] { 28 { OID, [1] record } } } } }
void BuildPresentResponse(CBERNode& root)
{
    CBERNode* response = root.NewChildconstructedNode(25, BER_CONTEXT);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 24, kRecords);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 25, kRecords + 1);
    response->NewChildIntegerNode(BER_CONTEXT, BER_PRIMITIVE, 27, 0);
    CBERNode* records = response->NewChildconstructedNode(28, BER_CONTEXT);
    std::string database = "books";
    CByteArray record(kRecordSize);
    for (int i = 0; i < kRecordSize; ++i)
        record[i] = static_cast<unsigned char>('0' + i % 64);
    for (int r = 0; r < kRecords; ++r) {
        CBERNode* named = records->NewChildconstructedNode(16, BER_UNIVERSAL);
        named->NewChildCharNode(0u, BER_CONTEXT, database.data(), static_cast<int>(database.size()));
        CBERNode* external = named->NewChildconstructedNode(1, BER_CONTEXT)->NewChildconstructedNode(8, BER_UNIVERSAL);
        external->NewChildOIDNode(BER_UNIVERSAL, BER_PRIMITIVE, 6, "1.2.840.10003.5.10");
        external->NewChildCharNode(1u, BER_CONTEXT, record);
    }
}

void AppendIndefinite(CBERNode* node, CByteArray& out)
{
    CByteArray identifier;
    node->MakeTagClassFormPart(identifier);
    out.insert(out.end(), identifier.begin(), identifier.end());
    if (!node->m_bConstructed) {
        node->MakeLengthPart(out, static_cast<int>(node->m_baContent.size()));
        out.insert(out.end(), node->m_baContent.begin(), node->m_baContent.end());
        return;
    }
    out.push_back(0x80);
    for (CBERNode* child : node->m_arrChildren)
        AppendIndefinite(child, out);
    out.insert(out.end(), {0, 0});
}

void DecodeLoop(benchmark::State& state, CByteArray& bytes)
{
    for (auto _ : state) {
        CBERNode root;
        long total = 0;
        benchmark::DoNotOptimize(IsCompleteBER(bytes.data(), static_cast<long>(bytes.size()), &total));
        int used = DecodeBER(&root, bytes.data(), static_cast<int>(bytes.size()));
        if (used != static_cast<int>(bytes.size()))
            state.SkipWithError("decode did not consume the PDU");
        benchmark::DoNotOptimize(root.m_arrChildren.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

void BM_DecodePresentResponse(benchmark::State& state)
{
    CBERNode root;
    BuildPresentResponse(root);
    CByteArray bytes;
    root.EncodeBER(bytes);
    DecodeLoop(state, bytes);
}
BENCHMARK(BM_DecodePresentResponse);

void BM_DecodePresentResponseIndefinite(benchmark::State& state)
{
    CBERNode root;
    BuildPresentResponse(root);
    CByteArray bytes;
    AppendIndefinite(root.m_arrChildren[0], bytes);
    DecodeLoop(state, bytes);
}
BENCHMARK(BM_DecodePresentResponseIndefinite);

void BM_EncodePresentResponse(benchmark::State& state)
{
    CBERNode root;
    BuildPresentResponse(root);
    CByteArray bytes;
    for (auto _ : state) {
        root.EncodeBER(bytes);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_EncodePresentResponse);

void BM_BuildAndEncodePresentResponse(benchmark::State& state)
{
    CByteArray bytes;
    for (auto _ : state) {
        CBERNode root;
        BuildPresentResponse(root);
        root.EncodeBER(bytes);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_BuildAndEncodePresentResponse);

}  // namespace

BENCHMARK_MAIN();
