#include "fma_probe.h"

#include <immintrin.h>
#include <omp.h>

#include "../winograd_convolution.h"

#include <chrono>
#include <ctime>

namespace brivelle::onednn {

namespace {

// Twelve independent chains hide the FMA latency on two pipes; each iteration is 12 * lanes * 2 FLOP.
constexpr int kChains = 12;

// The chains are named variables, not an array: an array loop keeps them in memory and measures the
// store-to-load latency instead of the FMA pipes. Intrinsics only inline into a function compiled for
// their ISA, so one macro writes the loop for each vector width.
#define BRIVELLE_FMA_CHAINS(name, isa, Vec, set1, fmadd, add, store)                                         \
    __attribute__((target(isa))) float name(long iterations)                                                 \
    {                                                                                                        \
        const Vec a = set1(0.999999f), b = set1(1e-7f);                                                      \
        Vec c0 = set1(0.0f), c1 = set1(0.1f), c2 = set1(0.2f), c3 = set1(0.3f);                              \
        Vec c4 = set1(0.4f), c5 = set1(0.5f), c6 = set1(0.6f), c7 = set1(0.7f);                              \
        Vec c8 = set1(0.8f), c9 = set1(0.9f), c10 = set1(1.0f), c11 = set1(1.1f);                            \
        for (long i = 0; i < iterations; ++i) {                                                              \
            c0 = fmadd(c0, a, b);                                                                            \
            c1 = fmadd(c1, a, b);                                                                            \
            c2 = fmadd(c2, a, b);                                                                            \
            c3 = fmadd(c3, a, b);                                                                            \
            c4 = fmadd(c4, a, b);                                                                            \
            c5 = fmadd(c5, a, b);                                                                            \
            c6 = fmadd(c6, a, b);                                                                            \
            c7 = fmadd(c7, a, b);                                                                            \
            c8 = fmadd(c8, a, b);                                                                            \
            c9 = fmadd(c9, a, b);                                                                            \
            c10 = fmadd(c10, a, b);                                                                          \
            c11 = fmadd(c11, a, b);                                                                          \
        }                                                                                                    \
        Vec sum = add(add(add(c0, c1), add(c2, c3)), add(add(c4, c5), add(c6, c7)));                         \
        sum = add(sum, add(add(c8, c9), add(c10, c11)));                                                     \
        alignas(64) float out[sizeof(Vec) / sizeof(float)];                                                  \
        store(out, sum);                                                                                     \
        return out[0] + out[sizeof(Vec) / sizeof(float) - 1];                                                \
    }

BRIVELLE_FMA_CHAINS(fmaChainsAvx2, "avx2,fma", __m256, _mm256_set1_ps, _mm256_fmadd_ps, _mm256_add_ps,
                    _mm256_store_ps)
BRIVELLE_FMA_CHAINS(fmaChainsAvx512, "avx512f", __m512, _mm512_set1_ps, _mm512_fmadd_ps, _mm512_add_ps,
                    _mm512_store_ps)
#undef BRIVELLE_FMA_CHAINS

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
    // The widest vectors our kernels use here (ONEDNN_MAX_CPU_ISA caps both), so a capped run is compared
    // against the peak of the ISA it runs on.
    const WinogradIsa isa = winogradIsa();
    const bool avx512 = isa == WinogradIsa::Avx512;
    const bool fma = isa == WinogradIsa::Avx2;
    const int lanes = avx512 ? 16 : 8;
    auto chains = [avx512, fma](long n) {
        return avx512 ? fmaChainsAvx512(n) : fma ? fmaChainsAvx2(n) : mulAddChainsScalar(n);
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
        const double flops = static_cast<double>(iterations) * kChains * lanes * 2 * threads;
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
