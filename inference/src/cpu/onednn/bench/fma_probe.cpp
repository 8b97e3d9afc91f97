#include "fma_probe.h"

#include <immintrin.h>
#include <omp.h>

#include <chrono>

namespace brivelle::onednn {

namespace {

// Twelve independent chains hide the FMA latency on two pipes; each iteration is 12 * 8 * 2 FLOP.
constexpr int kChains = 12;

__attribute__((target("avx2,fma"))) float fmaChainsAvx2(long iterations)
{
    __m256 acc[kChains];
    for (int k = 0; k < kChains; ++k)
        acc[k] = _mm256_set1_ps(0.001f * k);
    const __m256 a = _mm256_set1_ps(0.999999f), b = _mm256_set1_ps(1e-7f);
    for (long i = 0; i < iterations; ++i)
        for (int k = 0; k < kChains; ++k)
            acc[k] = _mm256_fmadd_ps(acc[k], a, b);
    __m256 sum = acc[0];
    for (int k = 1; k < kChains; ++k)
        sum = _mm256_add_ps(sum, acc[k]);
    alignas(32) float out[8];
    _mm256_store_ps(out, sum);
    return out[0] + out[7];
}

float mulAddChainsScalar(long iterations)
{
    float acc[kChains * 8];
    for (int k = 0; k < kChains * 8; ++k)
        acc[k] = 0.001f * k;
    for (long i = 0; i < iterations; ++i)
        for (int k = 0; k < kChains * 8; ++k)
            acc[k] = acc[k] * 0.999999f + 1e-7f;
    float sum = 0.f;
    for (float v : acc)
        sum += v;
    return sum;
}

} // namespace

double measureFmaPeakGflops(int threads, double seconds)
{
    const bool fma = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    auto chains = [fma](long n) {
        return fma ? fmaChainsAvx2(n) : mulAddChainsScalar(n);
    };
    // Calibrate on one thread so the timed run lasts about `seconds`.
    long iterations = 1 << 16;
    for (;;) {
        const auto start = std::chrono::steady_clock::now();
        volatile float sink = chains(iterations);
        (void)sink;
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (t > 0.05) {
            iterations = static_cast<long>(iterations * seconds / t);
            break;
        }
        iterations *= 4;
    }
    double best = 0.0;
    for (int repeat = 0; repeat < 3; ++repeat) {
        const auto start = std::chrono::steady_clock::now();
        float total = 0.f;
#pragma omp parallel num_threads(threads) reduction(+ : total)
        total += chains(iterations);
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        volatile float sink = total;
        (void)sink;
        const double flops = static_cast<double>(iterations) * kChains * 8 * 2 * threads;
        if (flops / t > best)
            best = flops / t;
    }
    return best * 1e-9;
}

} // namespace brivelle::onednn
