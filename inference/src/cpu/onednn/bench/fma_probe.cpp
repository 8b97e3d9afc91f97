#include "fma_probe.h"

#include <immintrin.h>
#include <omp.h>

#include <chrono>
#include <ctime>

namespace brivelle::onednn {

namespace {

// Twelve independent chains hide the FMA latency on two pipes; each iteration is 12 * 8 * 2 FLOP.
constexpr int kChains = 12;

// The chains are named variables, not an array: an array loop keeps them in memory and measures the
// store-to-load latency instead of the FMA pipes.
__attribute__((target("avx2,fma"))) float fmaChainsAvx2(long iterations)
{
    const __m256 a = _mm256_set1_ps(0.999999f), b = _mm256_set1_ps(1e-7f);
    __m256 c0 = _mm256_set1_ps(0.0f), c1 = _mm256_set1_ps(0.1f), c2 = _mm256_set1_ps(0.2f);
    __m256 c3 = _mm256_set1_ps(0.3f), c4 = _mm256_set1_ps(0.4f), c5 = _mm256_set1_ps(0.5f);
    __m256 c6 = _mm256_set1_ps(0.6f), c7 = _mm256_set1_ps(0.7f), c8 = _mm256_set1_ps(0.8f);
    __m256 c9 = _mm256_set1_ps(0.9f), c10 = _mm256_set1_ps(1.0f), c11 = _mm256_set1_ps(1.1f);
    for (long i = 0; i < iterations; ++i) {
        c0 = _mm256_fmadd_ps(c0, a, b);
        c1 = _mm256_fmadd_ps(c1, a, b);
        c2 = _mm256_fmadd_ps(c2, a, b);
        c3 = _mm256_fmadd_ps(c3, a, b);
        c4 = _mm256_fmadd_ps(c4, a, b);
        c5 = _mm256_fmadd_ps(c5, a, b);
        c6 = _mm256_fmadd_ps(c6, a, b);
        c7 = _mm256_fmadd_ps(c7, a, b);
        c8 = _mm256_fmadd_ps(c8, a, b);
        c9 = _mm256_fmadd_ps(c9, a, b);
        c10 = _mm256_fmadd_ps(c10, a, b);
        c11 = _mm256_fmadd_ps(c11, a, b);
    }
    __m256 sum = _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(c0, c1), _mm256_add_ps(c2, c3)),
                               _mm256_add_ps(_mm256_add_ps(c4, c5), _mm256_add_ps(c6, c7)));
    sum = _mm256_add_ps(sum, _mm256_add_ps(_mm256_add_ps(c8, c9), _mm256_add_ps(c10, c11)));
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

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double measureFmaPeakGflops(int threads, double seconds, double *perCpuSecond)
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
    double best = 0.0, bestCpu = 0.0;
    for (int repeat = 0; repeat < 3; ++repeat) {
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        float total = 0.f;
#pragma omp parallel num_threads(threads) reduction(+ : total)
        total += chains(iterations);
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        volatile float sink = total;
        (void)sink;
        const double cpu = (processCpuSeconds() - cpuStart) / threads;
        const double flops = static_cast<double>(iterations) * kChains * 8 * 2 * threads;
        if (flops / t > best)
            best = flops / t;
        if (cpu > 0.0 && flops / cpu > bestCpu)
            bestCpu = flops / cpu;
    }
    if (perCpuSecond)
        *perCpuSecond = bestCpu * 1e-9;
    return best * 1e-9;
}

} // namespace brivelle::onednn
