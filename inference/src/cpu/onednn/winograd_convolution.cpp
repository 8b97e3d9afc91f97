#include "winograd_convolution.h"

#include <ncnn/errors.h>
#include <omp.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace brivelle::onednn {

namespace {

// A tensor as the transforms walk it: groups of L channels, each group's pixels at fixed strides.
struct Geometry {
    float *data = nullptr;
    int h = 0, w = 0, c = 0, groups = 0;
    bool blocked = true; // every group complete (padded channels present)
    size_t groupStride = 0, rowStride = 0, pixelStride = 0;
};

struct Tiling {
    int tilesW = 0;
    int pad = 0;
    int chunk = 0; // tiles per product call
    int kp = 0;    // input channels padded to the lanes
    int np = 0;    // output channels padded to the lanes
    // Floats from one transform point to the next in the tiles and the products.
    size_t tilesPointStride = 0, productsPointStride = 0;
};

struct Epilogue {
    bool activation = false;
    float slope = 0.f;
    float scale = 1.f;
    float outerScale = 1.f;
};

} // namespace

namespace wino_sse2 {
#include "winograd_transforms.inc"
}
#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace wino_avx2 {
#include "winograd_transforms.inc"
}
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx512f")
namespace wino_avx512 {
#include "winograd_transforms.inc"
}
#pragma GCC pop_options

namespace {

using dnnl::memory;
using dt = memory::data_type;
using tag = memory::format_tag;

struct KernelSet {
    void (*weights)(const float *, int, int, const Tiling &, int, int, float *) = nullptr;
    void (*input)(const Geometry &, const Tiling &, int, int, float *) = nullptr;
    void (*output)(const float *, const Tiling &, int, int, const float *, const Epilogue &, const Geometry &,
                   const Geometry *, const Geometry *) = nullptr;
    void (*epilogue)(const Geometry &, const Geometry *, const Geometry *, const Epilogue &, int,
                     int) = nullptr;
};

template <typename T, typename S> KernelSet kernelSet()
{
    return KernelSet{&T::template weights<S>, &T::template input<S>, &T::template output<S>, &T::epilogue};
}

template <typename T> KernelSet kernelSet(WinogradVariant variant)
{
    return variant == WinogradVariant::F63 ? kernelSet<T, typename T::F63>()
                                           : kernelSet<T, typename T::F43>();
}

KernelSet kernelsFor(WinogradIsa isa, int lanes, WinogradVariant variant = WinogradVariant::F43)
{
    const bool wide = lanes == 16;
    switch (isa) {
    case WinogradIsa::Avx512:
        return wide ? kernelSet<wino_avx512::Transforms<16>>(variant)
                    : kernelSet<wino_avx512::Transforms<8>>(variant);
    case WinogradIsa::Avx2:
        return wide ? kernelSet<wino_avx2::Transforms<16>>(variant)
                    : kernelSet<wino_avx2::Transforms<8>>(variant);
    default:
        return wide ? kernelSet<wino_sse2::Transforms<16>>(variant)
                    : kernelSet<wino_sse2::Transforms<8>>(variant);
    }
}

// Outputs per tile edge and transform points per tile.
int tileEdge(WinogradVariant variant)
{
    return variant == WinogradVariant::F63 ? 6 : 4;
}

int pointsOf(WinogradVariant variant)
{
    const int n = tileEdge(variant) + 2;
    return n * n;
}

dnnl::engine &engine()
{
    static dnnl::engine cpu(dnnl::engine::kind::cpu, 0);
    return cpu;
}

// Floats from one transform point's matrix to the next. The transforms write (and read) one vector per
// point for each tile: with matrices of a multiple of 4 KiB (64 tiles of 64 channels, say) those
// vectors would all fall in one cache set and evict each other, and alias in the store buffer. One cache
// line more per matrix spreads them over the sets.
memory::dim pointStride(memory::dim floats)
{
    return (floats + 15) / 16 * 16 + 16;
}

size_t alignUp(size_t bytes)
{
    return (bytes + 63) / 64 * 64;
}

Geometry geometryOf(const WinogradTensor &t, int lanes)
{
    Geometry g;
    g.data = t.data;
    g.h = t.shape.h;
    g.w = t.shape.w;
    g.c = t.shape.c;
    g.groups = (t.shape.c + lanes - 1) / lanes;
    if (t.block > 0) {
        g.blocked = true;
        g.pixelStride = static_cast<size_t>(t.block);
        g.rowStride = g.pixelStride * t.shape.w;
        g.groupStride = g.rowStride * t.shape.h;
    } else {
        g.blocked = false;
        g.pixelStride = t.pixelStride ? t.pixelStride : static_cast<size_t>(t.shape.c);
        g.rowStride = g.pixelStride * t.shape.w;
        g.groupStride = static_cast<size_t>(lanes);
    }
    return g;
}

Epilogue epilogueOf(const WinogradEpilogue &e)
{
    return Epilogue{e.activation, e.slope, e.scale, e.outerScale};
}

// oneDNN reads the OpenMP thread count when it creates a primitive.
class SingleThreadScope {
public:
    SingleThreadScope() : saved_(omp_get_max_threads()) { omp_set_num_threads(1); }
    ~SingleThreadScope() { omp_set_num_threads(saved_); }
    SingleThreadScope(const SingleThreadScope &) = delete;
    SingleThreadScope &operator=(const SingleThreadScope &) = delete;

private:
    int saved_;
};

} // namespace

WinogradIsa winogradIsa()
{
    const auto effective = static_cast<unsigned>(dnnl::get_effective_cpu_isa());
    auto allows = [effective](dnnl::cpu_isa isa) {
        const auto bits = static_cast<unsigned>(isa);
        return (effective & bits) == bits;
    };
    __builtin_cpu_init();
    if (allows(dnnl::cpu_isa::avx512_core) && __builtin_cpu_supports("avx512f"))
        return WinogradIsa::Avx512;
    if (allows(dnnl::cpu_isa::avx2) && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return WinogradIsa::Avx2;
    return WinogradIsa::Sse2;
}

bool cpuRuns(WinogradIsa isa)
{
    __builtin_cpu_init();
    switch (isa) {
    case WinogradIsa::Avx512:
        return __builtin_cpu_supports("avx512f");
    case WinogradIsa::Avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    default:
        return true;
    }
}

const char *winogradIsaName(WinogradIsa isa)
{
    switch (isa) {
    case WinogradIsa::Avx512:
        return "avx512";
    case WinogradIsa::Avx2:
        return "avx2";
    default:
        return "sse2";
    }
}

int winogradLanes(WinogradIsa isa)
{
    return isa == WinogradIsa::Avx512 ? 16 : 8;
}

struct WinogradWeights::Impl {
    const float *kernels = nullptr; // O x I x 3 x 3, the caller's
    int inC = 0, outC = 0, lanes = 0, kp = 0, np = 0;
    std::vector<float> bias; // np, zero-padded
};

WinogradWeights::WinogradWeights(const float *weights, const float *bias, int inChannels, int outChannels,
                                 int lanes)
    : d(std::make_unique<Impl>())
{
    d->kernels = weights;
    d->inC = inChannels;
    d->outC = outChannels;
    d->lanes = lanes;
    d->kp = (inChannels + lanes - 1) / lanes * lanes;
    d->np = (outChannels + lanes - 1) / lanes * lanes;
    d->bias.assign(d->np, 0.f);
    if (bias)
        std::copy_n(bias, outChannels, d->bias.begin());
}

WinogradWeights::~WinogradWeights() = default;

int WinogradWeights::inChannels() const
{
    return d->inC;
}
int WinogradWeights::outChannels() const
{
    return d->outC;
}
int WinogradWeights::lanes() const
{
    return d->lanes;
}

size_t WinogradWeights::bytes() const
{
    return d->bias.size() * sizeof(float);
}

struct WinogradConvolution::Impl {
    std::shared_ptr<const WinogradWeights> weights;
    Shape in, out;
    Epilogue epilogue;
    bool residual = false, outerResidual = false;
    int threads = 1;
    int tiles = 0;
    Tiling tiling;
    KernelSet kernels;
    int points = 0;
    dnnl::matmul products;
    memory::desc tilesMd, productsMd, scratchpadMd;
    memory::desc weightsMd;
    size_t weightsBytes = 0, tilesBytes = 0, productsBytes = 0, scratchpadBytes = 0, perThread = 0;
    std::string implementation;
};

bool WinogradConvolution::supports(int kernelW, int kernelH, int strideW, int strideH, int dilationW,
                                   int dilationH, int padLeft, int padRight, int padTop, int padBottom)
{
    return kernelW == 3 && kernelH == 3 && strideW == 1 && strideH == 1 && dilationW == 1 && dilationH == 1 &&
           (padLeft == 0 || padLeft == 1) && padRight == padLeft && padTop == padLeft && padBottom == padLeft;
}

int WinogradConvolution::create(std::shared_ptr<const WinogradWeights> weights, Shape input, int pad,
                                WinogradEpilogue epilogue, int threads,
                                std::unique_ptr<WinogradConvolution> &out, std::string &why,
                                WinogradVariant variant, int tilesPerChunk)
{
    return create(std::move(weights), input, pad, epilogue, threads, out, why, variant, tilesPerChunk,
                  winogradIsa());
}

int WinogradConvolution::create(std::shared_ptr<const WinogradWeights> weights, Shape input, int pad,
                                WinogradEpilogue epilogue, int threads,
                                std::unique_ptr<WinogradConvolution> &out, std::string &why,
                                WinogradVariant variant, int tilesPerChunk, WinogradIsa isa)
{
    out.reset();
    auto fail = [&why](const std::string &reason) {
        why = reason;
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    };
    if (!weights || input.c != weights->inChannels())
        return fail("winograd: input channels differ from the weights");
    if (pad != 0 && pad != 1)
        return fail("winograd: padding other than 0 or 1");
    if (!cpuRuns(isa))
        return fail(std::string("winograd: this CPU lacks ") + winogradIsaName(isa));
    auto d = std::make_unique<Impl>();
    d->in = input;
    d->out = Shape{weights->outChannels(), input.h + 2 * pad - 2, input.w + 2 * pad - 2};
    if (d->out.h <= 0 || d->out.w <= 0)
        return fail("winograd: input smaller than the kernel");
    d->epilogue = epilogueOf(epilogue);
    d->residual = epilogue.residual;
    d->outerResidual = epilogue.outerResidual;
    d->threads = std::max(1, threads);
    const int m = tileEdge(variant);
    d->points = pointsOf(variant);
    const int tilesH = (d->out.h + m - 1) / m;
    d->tiling.tilesW = (d->out.w + m - 1) / m;
    d->tiles = tilesH * d->tiling.tilesW;
    d->tiling.pad = pad;
    d->tiling.kp = weights->d->kp;
    d->tiling.np = weights->d->np;
    // Up to 64 tiles per product call (winograd_bench, 2 threads: the products want rows, the
    // transformed tiles want to stay in cache), and at least two chunks per thread for balance.
    int chunk = tilesPerChunk > 0 ? tilesPerChunk : (d->tiles + 2 * d->threads - 1) / (2 * d->threads);
    if (tilesPerChunk <= 0)
        chunk = std::clamp(chunk, 16, 64);
    d->tiling.chunk = std::min(chunk, d->tiles);
    d->kernels = kernelsFor(isa, weights->lanes(), variant);

    const memory::dim points = d->points, chunkDim = d->tiling.chunk, kp = d->tiling.kp, np = d->tiling.np;
    try {
        // Each thread runs its own products: they are made for one thread.
        SingleThreadScope single;
        // Plain weights: the products run as fast as on a packed copy (winograd_bench), and the
        // transform at each run writes them in this order directly.
        d->weightsMd = memory::desc({points, kp, np}, dt::f32, tag::abc);
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        const memory::dim tilesStride = pointStride(chunkDim * kp),
                          productsStride = pointStride(chunkDim * np);
        d->tilesMd = memory::desc({points, chunkDim, kp}, dt::f32, {tilesStride, kp, 1});
        d->productsMd = memory::desc({points, chunkDim, np}, dt::f32, {productsStride, np, 1});
        d->tiling.tilesPointStride = static_cast<size_t>(tilesStride);
        d->tiling.productsPointStride = static_cast<size_t>(productsStride);
        const dnnl::matmul::primitive_desc pd(dnnl::matmul::desc(d->tilesMd, d->weightsMd, d->productsMd),
                                              attr, engine());
        d->products = dnnl::matmul(pd);
        d->scratchpadMd = pd.scratchpad_desc();
        d->implementation = pd.impl_info_str();
    } catch (const dnnl::error &e) {
        return fail(std::string("winograd: ") + e.what());
    }
    d->weightsBytes = alignUp(d->weightsMd.get_size());
    d->tilesBytes = alignUp(d->tilesMd.get_size());
    d->productsBytes = alignUp(d->productsMd.get_size());
    d->scratchpadBytes = alignUp(d->scratchpadMd.get_size());
    d->perThread = d->tilesBytes + d->productsBytes + d->scratchpadBytes;
    d->weights = std::move(weights);
    out.reset(new WinogradConvolution(std::move(d)));
    return 0;
}

WinogradConvolution::WinogradConvolution(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
WinogradConvolution::~WinogradConvolution() = default;

Shape WinogradConvolution::outputShape() const
{
    return d->out;
}

size_t WinogradConvolution::scratchBytes() const
{
    // Room to align the caller's block to a cache line.
    return d->weightsBytes + d->perThread * static_cast<size_t>(d->threads) + 64;
}

const char *WinogradConvolution::productImplementation() const
{
    return d->implementation.c_str();
}

int WinogradConvolution::run(const WinogradTensor &src, const WinogradTensor &dst,
                             const WinogradTensor *residual, void *scratch, std::string &error,
                             const WinogradTensor *outerResidual) const
{
    const int lanes = d->weights->lanes();
    auto fail = [&error](const std::string &why) {
        error = why;
        return ncnn::ERROR_FAILED;
    };
    if (!(src.shape == d->in) || !(dst.shape == d->out) ||
        (d->residual && (!residual || !(residual->shape == d->out))) ||
        (d->outerResidual && (!outerResidual || !(outerResidual->shape == d->out))))
        return fail("winograd: a tensor does not have the compiled shape");
    for (const WinogradTensor *t : {&src, &dst, residual, outerResidual})
        if (t && t->block != 0 && t->block != lanes)
            return fail("winograd: blocked tensor with a block other than the weights' lanes");
    if (!scratch)
        return fail("winograd: no scratch");

    const Geometry in = geometryOf(src, lanes), out = geometryOf(dst, lanes);
    const Geometry res = d->residual ? geometryOf(*residual, lanes) : Geometry{};
    const Geometry outer = d->outerResidual ? geometryOf(*outerResidual, lanes) : Geometry{};
    const Tiling &t = d->tiling;
    const WinogradWeights::Impl &w = *d->weights->d;
    const float *bias = w.bias.data();
    const int chunks = (d->tiles + t.chunk - 1) / t.chunk;
    char *base = reinterpret_cast<char *>((reinterpret_cast<uintptr_t>(scratch) + 63) / 64 * 64);
    float *transformed = reinterpret_cast<float *>(base);
    base += d->weightsBytes;
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    std::string why;
    std::mutex whyMutex;
    // The whole team of the plan, even with fewer chunks than threads (those left without one share
    // the weights' transform): OpenMP ends the threads that a smaller team leaves out and starts new
    // ones for the next full team, on every layer of every run.
#pragma omp parallel num_threads(d->threads)
    {
        {
            const int n = omp_get_num_threads(), me = omp_get_thread_num();
            d->kernels.weights(w.kernels, w.inC, w.outC, t, t.kp * me / n, t.kp * (me + 1) / n, transformed);
        }
#pragma omp barrier
        char *mine = base + static_cast<size_t>(omp_get_thread_num()) * d->perThread;
        float *tiles = reinterpret_cast<float *>(mine);
        float *products = reinterpret_cast<float *>(mine + d->tilesBytes);
        void *pad = mine + d->tilesBytes + d->productsBytes;
        try {
            dnnl::stream stream(engine());
            memory tilesMem(d->tilesMd, engine(), tiles), productsMem(d->productsMd, engine(), products);
            memory padMem(d->scratchpadMd, engine(), pad), weightsMem(d->weightsMd, engine(), transformed);
            const size_t pointStride = t.tilesPointStride;
            for (int chunk = next++; chunk < chunks && !failed; chunk = next++) {
                const int first = chunk * t.chunk, count = std::min(t.chunk, d->tiles - first);
                d->kernels.input(in, t, first, count, tiles);
                // The last chunk's unused rows: finite, so that the products stay quiet.
                if (count < t.chunk)
                    for (int p = 0; p < d->points; ++p)
                        std::memset(tiles + p * pointStride + static_cast<size_t>(count) * t.kp, 0,
                                    static_cast<size_t>(t.chunk - count) * t.kp * sizeof(float));
                d->products.execute(stream, {{DNNL_ARG_SRC, tilesMem},
                                             {DNNL_ARG_WEIGHTS, weightsMem},
                                             {DNNL_ARG_DST, productsMem},
                                             {DNNL_ARG_SCRATCHPAD, padMem}});
                stream.wait();
                d->kernels.output(products, t, first, count, bias, d->epilogue, out,
                                  d->residual ? &res : nullptr, d->outerResidual ? &outer : nullptr);
            }
        } catch (const dnnl::error &e) {
            std::lock_guard<std::mutex> lock(whyMutex);
            failed = true;
            why = e.what();
        }
    }
    if (failed)
        return fail("winograd: " + why);
    return 0;
}

void applyWinogradEpilogue(const WinogradTensor &dst, const WinogradEpilogue &epilogue,
                           const WinogradTensor *residual, int threads)
{
    const WinogradIsa isa = winogradIsa();
    const int lanes = dst.block > 0 ? dst.block : winogradLanes(isa);
    const KernelSet k = kernelsFor(isa, lanes);
    const Geometry out = geometryOf(dst, lanes);
    const Geometry res = residual ? geometryOf(*residual, lanes) : Geometry{};
    const Epilogue e = epilogueOf(epilogue);
    const int rows = dst.shape.h;
#pragma omp parallel num_threads(std::max(1, threads))
    {
        const int n = omp_get_num_threads(), i = omp_get_thread_num();
        const int first = rows * i / n, last = rows * (i + 1) / n;
        if (last > first)
            k.epilogue(out, residual ? &res : nullptr, nullptr, e, first, last - first);
    }
}

} // namespace brivelle::onednn
