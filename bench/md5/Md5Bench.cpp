// CMD5::DigestBinary beside OpenSSL's MD5 on the same buffers, in the same
// run. Target: ours takes at most 1.2x OpenSSL's time on 64 MiB. The ratio
// is printed after the table.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "Corbex.h"

namespace {

const std::vector<unsigned char>& Buffer() {
    static const std::vector<unsigned char> buf = [] {
        std::vector<unsigned char> b(64u << 20);
        std::mt19937 rng(12345);
        for (auto& c : b) c = static_cast<unsigned char>(rng());
        return b;
    }();
    return buf;
}

void BM_CMD5(benchmark::State& state) {
    const auto& buf = Buffer();
    const unsigned n = static_cast<unsigned>(state.range(0));
    CString digest;
    for (auto _ : state) {
        CMD5 md5;
        md5.DigestBinary(buf.data(), n, digest);
        benchmark::DoNotOptimize(digest.GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}

void BM_OpenSSL(benchmark::State& state) {
    const auto& buf = Buffer();
    const size_t n = static_cast<size_t>(state.range(0));
    unsigned char out[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        MD5(buf.data(), n, out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

#define SIZES Arg(0)->Arg(55)->Arg(64)->Arg(1000)->Arg(64 << 10)->Arg(64 << 20)
BENCHMARK(BM_CMD5)->SIZES;
BENCHMARK(BM_OpenSSL)->SIZES;

// Best of several interleaved rounds on the 64 MiB buffer, so that both
// sides see the same machine state.
void PrintRatio() {
    const auto& buf = Buffer();
    using Clock = std::chrono::steady_clock;
    double ours = 1e30, ref = 1e30;
    CString digest;
    unsigned char out[MD5_DIGEST_LENGTH];
    for (int round = 0; round < 7; ++round) {
        auto t0 = Clock::now();
        CMD5 md5;
        md5.DigestBinary(buf.data(), static_cast<unsigned>(buf.size()), digest);
        auto t1 = Clock::now();
        MD5(buf.data(), buf.size(), out);
        auto t2 = Clock::now();
        ours = std::min(ours, std::chrono::duration<double>(t1 - t0).count());
        ref = std::min(ref, std::chrono::duration<double>(t2 - t1).count());
    }
    const double mb = static_cast<double>(buf.size()) / 1e6;
    std::printf("64 MiB: CMD5 %.0f MB/s, OpenSSL MD5 %.0f MB/s, time ratio %.3f (target <= 1.2)\n", mb / ours,
                mb / ref, ours / ref);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintRatio();
    return 0;
}
