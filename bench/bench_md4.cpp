// MD4 throughput of ctCMD4 next to OpenSSL's MD4 over the same buffers.
#include <benchmark/benchmark.h>

#include <stdint.h>

#include <random>
#include <vector>

#include <openssl/md4.h>

#include "opn/core/ctCMD4.h"

namespace {

const std::vector<uint8_t>& Buffer(size_t size) {
    static std::vector<uint8_t> data;
    if (data.size() < size) {
        std::mt19937 rng(42);
        data.resize(size);
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(rng());
    }
    return data;
}

void SetThroughput(benchmark::State& state, size_t size) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_ctCMD4(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const uint8_t* data = Buffer(size).data();
    uint8_t digest[kMd4DigestSize];
    for (auto _ : state) {
        ctCMD4 md4;
        md4.Update(data, static_cast<int64_t>(size));
        md4.Final(digest);
        benchmark::DoNotOptimize(digest);
    }
    SetThroughput(state, size);
}

// The low-level MD4 calls are deprecated in OpenSSL 3; they are the
// reference here all the same.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void BM_OpenSslMd4(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const uint8_t* data = Buffer(size).data();
    uint8_t digest[MD4_DIGEST_LENGTH];
    for (auto _ : state) {
        MD4_CTX ctx;
        MD4_Init(&ctx);
        MD4_Update(&ctx, data, size);
        MD4_Final(digest, &ctx);
        benchmark::DoNotOptimize(digest);
    }
    SetThroughput(state, size);
}
#pragma GCC diagnostic pop

// The whole hash-list check: every piece digest and the list digest.
void BM_VerifyChunkedMd4(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const uint8_t* data = Buffer(size).data();
    std::vector<uint8_t> list;
    uint8_t digest[kMd4DigestSize];
    for (size_t offset = 0; offset < size; offset += (size_t)kMd4PieceSize) {
        size_t n = size - offset < (size_t)kMd4PieceSize ? size - offset : (size_t)kMd4PieceSize;
        ctCMD4 md4;
        md4.Update(data + offset, static_cast<int64_t>(n));
        md4.Final(digest);
        list.insert(list.end(), digest, digest + kMd4DigestSize);
    }
    ctCMD4 md4;
    md4.Update(list.data(), static_cast<int64_t>(list.size()));
    md4.Final(digest);
    list.insert(list.end(), digest, digest + kMd4DigestSize);

    for (auto _ : state) {
        bool match = VerifyChunkedMd4(list.data(), list.size(), data, static_cast<int64_t>(size));
        if (!match)
            state.SkipWithError("hash list did not match");
        benchmark::DoNotOptimize(match);
    }
    SetThroughput(state, size);
}

}  // namespace

BENCHMARK(BM_ctCMD4)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(BM_OpenSslMd4)->Arg(64 << 10)->Arg(16 << 20);
BENCHMARK(BM_VerifyChunkedMd4)->Arg(16 << 20);
