#pragma once

// 3x3 stride-1 convolutions by Winograd's F(4,3) or F(6,3): (m+2)x(m+2) input tiles are transformed,
// multiplied per transform point by the transformed weights as batched products on oneDNN's matmul, and
// transformed back to m x m output tiles with the bias, the activation and a residual sum applied on the
// way out. F(4,3) does 2.25 multiply-adds per output where direct does 9, F(6,3) 1.78, at the price of
// rounding in the transforms (about 1e-6 and 1e-5 of the output's magnitude in fp32).
//
// Tensors stay in the layouts of the plan (nChw8c, nChw16c or channels-last); the transforms are
// compiled for SSE2, AVX2 and AVX-512 and chosen at run time under oneDNN's ISA cap.

#include "plan_types.h"

#include <cstddef>
#include <memory>
#include <string>

namespace brivelle::onednn {

// A tensor of one image in memory. Blocked: channel c of pixel (y, x) at
// ((c / block) * h * w + y * w + x) * block + c % block, padded channels present. Channels-last
// (block 0): at (y * w + x) * pixelStride + c, where pixelStride > c inside a concatenation's buffer.
struct WinogradTensor {
    float *data = nullptr;
    Shape shape;
    int block = 16;
    size_t pixelStride = 0;
};

// What the output transform applies after the products:
// y = (act(conv + bias) * scale + residual) * outerScale + outerResidual, with act a leaky ReLU of the
// given slope (0: ReLU) when `activation` is set. The outer sum is that of an enclosing block whose last
// layer this is (a dense block's scaled sum feeding its group's).
struct WinogradEpilogue {
    bool activation = false;
    float slope = 0.f;
    float scale = 1.f;
    bool residual = false;
    float outerScale = 1.f;
    bool outerResidual = false;
};

// One layer's weights as the products need them, shared by every shape and thread. The kernels are
// transformed at each run, into the run's scratch, rather than kept transformed: F(4,3) weights are four
// times the kernels' size, which would more than double a model's memory, while transforming them costs
// about 1% of a 64x64 run and less on larger tiles.
class WinogradWeights {
public:
    // `weights` are O x I x 3 x 3 and must outlive this object (they are read at each run, not copied);
    // `bias` may be null. Channels are padded to `lanes` (8 or 16).
    WinogradWeights(const float *weights, const float *bias, int inChannels, int outChannels, int lanes);
    ~WinogradWeights();
    WinogradWeights(const WinogradWeights &) = delete;
    WinogradWeights &operator=(const WinogradWeights &) = delete;

    int inChannels() const;
    int outChannels() const;
    int lanes() const;
    size_t bytes() const;

    struct Impl;
    std::unique_ptr<Impl> d;
};

// The instruction set the transforms run with: the best of SSE2, AVX2 and AVX-512F that both the CPU
// and oneDNN's cap (ONEDNN_MAX_CPU_ISA) allow.
enum class WinogradIsa { Sse2, Avx2, Avx512 };
WinogradIsa winogradIsa();
const char *winogradIsaName(WinogradIsa isa);
// Channels per vector group where the layout leaves the choice (channels-last): 16 on AVX-512, else 8.
int winogradLanes(WinogradIsa isa);
// Whether this CPU can run the transforms compiled for `isa`, whatever oneDNN's cap (for tests).
bool cpuRuns(WinogradIsa isa);

// F(4,3): 4x4 output tiles, 36 products each (2.25 per output). F(6,3): 6x6 output tiles, 64 products
// each (1.78 per output), with larger transforms and a little more rounding.
enum class WinogradVariant { F43, F63 };

// One layer compiled for one input shape and thread count. run() is const and keeps no state between
// calls: several threads may run one instance at once, each with its own scratch.
class WinogradConvolution {
public:
    // Whether the layer's geometry is one this class computes: 3x3, stride 1, dilation 1, equal padding
    // of 0 or 1 on every side.
    static bool supports(int kernelW, int kernelH, int strideW, int strideH, int dilationW, int dilationH,
                         int padLeft, int padRight, int padTop, int padBottom);

    // 0, or ncnn::ERROR_UNSUPPORTED_LAYER with the reason in `why` when the shape does not fit or oneDNN
    // cannot make the products. `tilesPerChunk` 0 picks a chunk from the shape; others, and an `isa` that the
    // CPU runs, are for tests and benchmarks.
    static int create(std::shared_ptr<const WinogradWeights> weights, Shape input, int pad,
                      WinogradEpilogue epilogue, int threads, std::unique_ptr<WinogradConvolution> &out,
                      std::string &why, WinogradVariant variant = WinogradVariant::F43,
                      int tilesPerChunk = 0);
    static int create(std::shared_ptr<const WinogradWeights> weights, Shape input, int pad,
                      WinogradEpilogue epilogue, int threads, std::unique_ptr<WinogradConvolution> &out,
                      std::string &why, WinogradVariant variant, int tilesPerChunk, WinogradIsa isa);
    ~WinogradConvolution();
    WinogradConvolution(const WinogradConvolution &) = delete;
    WinogradConvolution &operator=(const WinogradConvolution &) = delete;

    Shape outputShape() const;
    // Bytes of scratch one run needs (the transformed weights, and the transformed tiles and the
    // products' workspace of every thread).
    size_t scratchBytes() const;
    const char *productImplementation() const;

    // `residual` and `outerResidual` only when the epilogue asks for them, shaped like `dst`; either may
    // be `dst` itself. Blocked tensors must use `lanes()` of the weights as their block. Returns 0, or
    // ncnn::ERROR_FAILED with the reason in `error` when oneDNN fails.
    int run(const WinogradTensor &src, const WinogradTensor &dst, const WinogradTensor *residual,
            void *scratch, std::string &error, const WinogradTensor *outerResidual = nullptr) const;

    struct Impl;

private:
    explicit WinogradConvolution(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

// The epilogue alone over a finished convolution output (oneDNN's own Winograd takes the bias but no
// activation post-op): one pass, in place, the bias excluded.
void applyWinogradEpilogue(const WinogradTensor &dst, const WinogradEpilogue &epilogue,
                           const WinogradTensor *residual, int threads);

} // namespace brivelle::onednn
