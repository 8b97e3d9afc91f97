// winograd_bench: one 3x3 convolution with bias and leaky ReLU (the layers of Real-ESRGAN x4plus), timed as
// oneDNN direct in its preferred layout and in the plan's blocked layout, our Winograd in blocked and
// channels-last layouts, and oneDNN's own Winograd followed by our epilogue pass; then oneDNN direct with
// bf16 sources and weights (fp32 sums), writing bf16 or fp32, where the CPU multiplies bf16 natively
// (AVX512_BF16, AMX) or oneDNN emulates it. Rates are effective:
// the direct convolution's FLOPs over the time taken.
// usage: winograd_bench [threads] [seconds per measurement] [size...]
// WINOGRAD_CHUNK=n fixes the tiles per product call (default: chosen from the shape).

#include "cpu/onednn/winograd_convolution.h"
#include "fma_probe.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <omp.h>
#include <string>
#include <vector>

using namespace brivelle::onednn;
using dnnl::algorithm;
using dnnl::memory;
using dt = memory::data_type;
using tag = memory::format_tag;

namespace {

struct Timing {
    double wall = 0.0; // best wall time of one call
    double cpu = 0.0;  // process CPU seconds per call, over all calls
};

Timing timeIt(const std::function<void()> &call, double seconds)
{
    call(); // first call: page faults, lazy setup
    Timing t;
    t.wall = 1e30;
    int calls = 0;
    const double cpuStart = processCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0.0;
    while (elapsed < seconds || calls < 3) {
        const auto a = std::chrono::steady_clock::now();
        call();
        const auto b = std::chrono::steady_clock::now();
        t.wall = std::min(t.wall, std::chrono::duration<double>(b - a).count());
        elapsed = std::chrono::duration<double>(b - start).count();
        ++calls;
    }
    t.cpu = (processCpuSeconds() - cpuStart) / calls;
    return t;
}

std::vector<float> randomData(size_t n, unsigned seed, float scale)
{
    std::vector<float> v(n);
    unsigned s = seed * 2654435761u + 1;
    for (float &x : v) {
        s = s * 1664525u + 1013904223u;
        x = (static_cast<float>(s >> 8) / 8388608.f - 1.f) * scale;
    }
    return v;
}

memory::format_tag blockTag(int block)
{
    return block == 16 ? tag::nChw16c : block == 8 ? tag::nChw8c : tag::nhwc;
}

struct Row {
    std::string what;
    Timing t;
    std::string impl;
};

// One measured layer: ic -> oc channels at size x size, with its weights.
struct Case {
    int ic = 0, oc = 0, size = 0;
    std::vector<float> weights, bias;
};

// What every measurement shares: the engine and stream, the threads, the time per measurement.
struct Bench {
    dnnl::engine engine{dnnl::engine::kind::cpu, 0};
    dnnl::stream stream{engine};
    int threads = 1;
    double seconds = 0.3;
    int lanes = 8;

    void oneDnn(const Case &c, algorithm alg, memory::format_tag layout, bool postOp, const char *name,
                std::vector<Row> &rows, dt inType = dt::f32, dt outType = dt::f32);
    void ours(const Case &c, int block, WinogradVariant variant, const char *name, std::vector<Row> &rows);
};

// oneDNN's convolution of `alg` in `layout`, with the leaky ReLU as its post-op or as our epilogue after it.
void Bench::oneDnn(const Case &c, algorithm alg, memory::format_tag layout, bool postOp, const char *name,
                   std::vector<Row> &rows, dt inType, dt outType)
{
    const int ic = c.ic, oc = c.oc, size = c.size;
    const memory::dims srcDims{1, ic, size, size}, dstDims{1, oc, size, size};
    memory::desc userW({oc, ic, 3, 3}, dt::f32, tag::oihw), biasMd({oc}, dt::f32, tag::x);
    memory userWeights(userW, engine, const_cast<float *>(c.weights.data()));
    memory biasMem(biasMd, engine, const_cast<float *>(c.bias.data()));
    try {
        dnnl::post_ops ops;
        if (postOp)
            ops.append_eltwise(1.f, dnnl::algorithm::eltwise_relu, 0.2f, 0.f);
        dnnl::primitive_attr attr;
        attr.set_post_ops(ops);
        const memory::desc src(srcDims, inType, layout), dst(dstDims, outType, layout);
        const dnnl::convolution_forward::primitive_desc pd(
            dnnl::convolution_forward::desc(dnnl::prop_kind::forward_inference, alg, src,
                                            memory::desc({oc, ic, 3, 3}, inType, tag::any), biasMd, dst,
                                            {1, 1}, {1, 1}, {1, 1}),
            attr, engine);
        memory s(pd.src_desc(), engine), d(pd.dst_desc(), engine), w(pd.weights_desc(), engine);
        const auto input = randomData(pd.src_desc().get_size() / 4, 3, 1.f);
        if (inType == dt::f32)
            std::copy(input.begin(), input.end(), static_cast<float *>(s.get_data_handle()));
        else // bf16 0x3f3f: 0.75 everywhere, as good as any value for timing
            std::memset(s.get_data_handle(), 0x3f, pd.src_desc().get_size());
        dnnl::reorder(userWeights, w).execute(stream, userWeights, w);
        const dnnl::convolution_forward conv(pd);
        const int block = pd.dst_desc().data.format_desc.blocking.inner_nblks
                              ? static_cast<int>(pd.dst_desc().data.format_desc.blocking.inner_blks[0])
                              : 0;
        WinogradEpilogue e;
        e.activation = true;
        e.slope = 0.2f;
        const WinogradTensor out{static_cast<float *>(d.get_data_handle()), Shape{oc, size, size}, block, 0};
        const Timing t = timeIt(
            [&] {
                conv.execute(
                    stream,
                    {{DNNL_ARG_SRC, s}, {DNNL_ARG_WEIGHTS, w}, {DNNL_ARG_BIAS, biasMem}, {DNNL_ARG_DST, d}});
                stream.wait();
                if (!postOp)
                    applyWinogradEpilogue(out, e, nullptr, threads);
            },
            seconds);
        rows.push_back({name, t, pd.impl_info_str()});
    } catch (const dnnl::error &) {
        rows.push_back({name, Timing{}, "(cannot be created)"});
    }
}

// Our Winograd convolution in the blocked layout (block = lanes) or channels-last (block 0).
void Bench::ours(const Case &c, int block, WinogradVariant variant, const char *name, std::vector<Row> &rows)
{
    const int ic = c.ic, oc = c.oc, size = c.size;
    const auto &weights = c.weights;
    const auto &bias = c.bias;
    const auto w = std::make_shared<WinogradWeights>(weights.data(), bias.data(), ic, oc, lanes);
    WinogradEpilogue e;
    e.activation = true;
    e.slope = 0.2f;
    std::string error;
    const char *chunk = std::getenv("WINOGRAD_CHUNK");
    std::unique_ptr<WinogradConvolution> conv;
    if (WinogradConvolution::create(w, Shape{ic, size, size}, 1, e, threads, conv, error, variant,
                                    chunk ? std::atoi(chunk) : 0) != 0) {
        rows.push_back({name, Timing{}, error});
        return;
    }
    const size_t ip = (ic + lanes - 1) / lanes * lanes, op = (oc + lanes - 1) / lanes * lanes;
    auto input = randomData(ip * size * size, 3, 1.f);
    std::vector<float> output(op * size * size);
    std::vector<char> scratch(conv->scratchBytes());
    const WinogradTensor src{input.data(), Shape{ic, size, size}, block, 0};
    const WinogradTensor dst{output.data(), Shape{oc, size, size}, block, 0};
    const Timing t = timeIt([&] { conv->run(src, dst, nullptr, scratch.data(), error); }, seconds);
    rows.push_back({name, t, conv->productImplementation()});
}

void printRows(const Case &c, const std::vector<Row> &rows, double peak, int threads)
{
    const double flops = 2.0 * c.oc * c.ic * 9.0 * c.size * c.size;
    std::printf("\n%3d -> %3d at %dx%d\n", c.ic, c.oc, c.size, c.size);
    for (const Row &r : rows) {
        if (r.t.wall <= 0.0) {
            std::printf("  %-28s %s\n", r.what.c_str(), r.impl.c_str());
            continue;
        }
        const double rate = flops / r.t.wall * 1e-9;
        std::printf("  %-28s %7.3f ms %7.0f GFLOP/s (%3.0f%% of peak) [%6.0f]  %s\n", r.what.c_str(),
                    r.t.wall * 1e3, rate, 100.0 * rate / peak, flops / (r.t.cpu / threads) * 1e-9,
                    r.impl.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    Bench bench;
    bench.threads = argc > 1 ? std::atoi(argv[1]) : 2;
    bench.seconds = argc > 2 ? std::atof(argv[2]) : 0.3;
    std::vector<int> sizes;
    for (int i = 3; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {64, 352};
    if (bench.threads <= 0 || bench.seconds <= 0.0) {
        std::fprintf(stderr, "usage: winograd_bench [threads] [seconds per measurement] [size...]\n");
        return 2;
    }
    const int threads = bench.threads;
    omp_set_num_threads(threads);
    const WinogradIsa isa = winogradIsa();
    const int lanes = bench.lanes = winogradLanes(isa);
    double peakPerCpu = 0.0;
    const double peak = measureFmaPeakGflops(threads, 0.5, &peakPerCpu);
    std::printf(
        "%d threads, transforms %s, blocked layout nChw%dc, FMA peak %.0f GFLOP/s (%.0f per CPU time)\n",
        threads, winogradIsaName(isa), lanes, peak, peakPerCpu);
    std::printf("rates: effective GFLOP/s (direct FLOPs / best wall time) [per CPU time]\n");

    const int shapes[][2] = {{64, 32}, {96, 32}, {128, 32}, {160, 32}, {192, 64}, {64, 64}};
    for (int size : sizes) {
        for (const auto &shape : shapes) {
            Case c{shape[0], shape[1], size, {}, {}};
            c.weights = randomData(static_cast<size_t>(c.oc) * c.ic * 9, 1, 0.1f);
            c.bias = randomData(size_t(c.oc), 2, 0.1f);
            std::vector<Row> rows;
            bench.oneDnn(c, dnnl::algorithm::convolution_direct, tag::any, true, "oneDNN direct, its layout",
                         rows);
            bench.oneDnn(c, dnnl::algorithm::convolution_direct, blockTag(lanes), true,
                         "oneDNN direct, blocked", rows);
            bench.oneDnn(c, dnnl::algorithm::convolution_winograd, tag::any, false,
                         "oneDNN winograd + epilogue", rows);
            bench.oneDnn(c, algorithm::convolution_direct, tag::any, true, "oneDNN bf16, its layout", rows,
                         dt::bf16, dt::bf16);
            bench.oneDnn(c, algorithm::convolution_direct, tag::nhwc, true, "oneDNN bf16, nhwc", rows,
                         dt::bf16, dt::bf16);
            bench.oneDnn(c, algorithm::convolution_direct, blockTag(lanes), true, "oneDNN bf16, blocked",
                         rows, dt::bf16, dt::bf16);
            bench.oneDnn(c, algorithm::convolution_direct, tag::any, true, "oneDNN bf16 -> fp32", rows,
                         dt::bf16, dt::f32);
            bench.ours(c, lanes, WinogradVariant::F43, "ours F(4,3), blocked", rows);
            bench.ours(c, 0, WinogradVariant::F43, "ours F(4,3), nhwc", rows);
            bench.ours(c, lanes, WinogradVariant::F63, "ours F(6,3), blocked", rows);
            bench.ours(c, 0, WinogradVariant::F63, "ours F(6,3), nhwc", rows);
            printRows(c, rows, peak, threads);
        }
    }
    return 0;
}
