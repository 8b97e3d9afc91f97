// Winograd F(4,3) and F(6,3) against the reference backend's convolution on awkward shapes, in every layout,
// with the transforms of every instruction set this CPU runs. Error metric: max |fast - reference| /
// max(|reference|, 1), bound 1e-4.

#include "support/runtime/onednn.h"

#include "cpu/onednn/winograd_convolution.h"
#include "layers/convolution.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace brivelle::onednn;
using namespace rtest;

namespace {

constexpr float kUntouched = -7.f;

struct Case {
    int inC, outC, h, w, pad;
    int block;   // 8 or 16, or 0 for channels-last
    int lanes;   // channels per vector
    int extra;   // channels-last only: unused channels between pixels, as inside a concatenation
    bool leaky;  // leaky ReLU 0.2, else none
    float scale; // with a residual sum when not 1
    int chunk;   // tiles per product call, 0 for the default
};

size_t offsetOf(const Case &k, Shape s, int c, int y, int x)
{
    if (k.block)
        return ((static_cast<size_t>(c / k.block) * s.h + y) * s.w + x) * k.block + c % k.block;
    return (static_cast<size_t>(y) * s.w + x) * (s.c + k.extra) + c;
}

size_t sizeOf(const Case &k, Shape s)
{
    const int c = k.block ? (s.c + k.block - 1) / k.block * k.block : s.c + k.extra;
    return static_cast<size_t>(c) * s.h * s.w;
}

// The layout's buffer: padded channels zero as oneDNN leaves them, gaps between pixels a marker.
std::vector<float> toLayout(const Case &k, const ncnn::Mat &m)
{
    const Shape s = shapeOf(m);
    std::vector<float> out(sizeOf(k, s), k.block ? 0.f : kUntouched);
    for (int c = 0; c < s.c; ++c)
        for (int y = 0; y < s.h; ++y)
            for (int x = 0; x < s.w; ++x)
                out[offsetOf(k, s, c, y, x)] = m.channel(c).row(y)[x];
    return out;
}

WinogradTensor view(const Case &k, std::vector<float> &data, Shape s)
{
    return WinogradTensor{data.data(), s, k.block, k.block ? 0 : static_cast<size_t>(s.c + k.extra)};
}

std::string describe(const Case &k, WinogradIsa isa, WinogradVariant variant)
{
    return std::string(variant == WinogradVariant::F63 ? "F(6,3) " : "F(4,3) ") + std::to_string(k.inC) +
           "->" + std::to_string(k.outC) + " at " + std::to_string(k.h) + "x" + std::to_string(k.w) +
           " pad " + std::to_string(k.pad) + " block " + std::to_string(k.block) + " lanes " +
           std::to_string(k.lanes) + " chunk " + std::to_string(k.chunk) + " " + winogradIsaName(isa);
}

TEST(Winograd, MatchesDirectConvolutionOnAwkwardShapes)
{
    const Case cases[] = {
        {64, 32, 17, 23, 1, 16, 16, 0, true, 0.2f, 0}, // the network's dense block, odd sizes
        {5, 7, 1, 1, 1, 8, 8, 0, true, 1.f, 0},        // one pixel: all of the tile is padding
        {5, 7, 5, 5, 1, 0, 8, 3, false, 1.f, 0},       // channels-last inside a wider buffer
        {20, 13, 9, 6, 0, 16, 16, 0, true, 1.f, 0},    // no padding
        {20, 13, 3, 3, 0, 0, 16, 0, false, 0.5f, 0},   // a single output pixel
        {33, 17, 11, 10, 1, 8, 8, 0, true, 0.2f, 3},   // many chunks, the last one partial
        {19, 24, 5, 1, 1, 0, 16, 5, true, 0.2f, 2},    // one column, channel groups partial
    };
    std::vector<WinogradIsa> isas;
    for (WinogradIsa isa : {WinogradIsa::Sse2, WinogradIsa::Avx2, WinogradIsa::Avx512})
        if (cpuRuns(isa))
            isas.push_back(isa);

    unsigned seed = 1;
    for (const Case &k : cases) {
        const bool residual = k.scale != 1.f;
        ModelWriter m(seed++);
        m.input("data");
        m.input("res");
        const int weightCount = k.outC * k.inC * 9;
        m.convWithParams("conv", "data", residual ? "out" : "output", weightCount, k.outC, true,
                         "0=" + std::to_string(k.outC) + " 1=3 4=" + std::to_string(k.pad) + " 5=1 6=" +
                             std::to_string(weightCount) + (k.leaky ? " 9=2 -23310=1,2.000000e-01" : ""));
        if (residual)
            m.layer("Eltwise", "sum", {"out", "res"}, {"output"},
                    "0=1 -23301=2," + std::to_string(k.scale) + ",1.0");
        auto graph = load(m);
        ASSERT_TRUE(graph);
        const auto &conv = static_cast<const ncnn::Convolution &>(*graph->layers[2]);
        const Shape inShape{k.inC, k.h, k.w}, outShape{k.outC, k.h + 2 * k.pad - 2, k.w + 2 * k.pad - 2};
        const Inputs inputs{{graph->find_blob("data"), randomMat(inShape, seed++)},
                            {graph->find_blob("res"), randomMat(outShape, seed++)}};
        const ncnn::Mat expected = runBackend(*graph, inputs, graph->find_blob("output"));

        auto weights = std::make_shared<WinogradWeights>(static_cast<const float *>(conv.weight_data.data),
                                                         static_cast<const float *>(conv.bias_data.data),
                                                         k.inC, k.outC, k.lanes);
        WinogradEpilogue epilogue;
        epilogue.activation = k.leaky;
        epilogue.slope = 0.2f;
        epilogue.scale = k.scale;
        epilogue.residual = residual;
        for (WinogradIsa isa : isas)
            for (WinogradVariant variant : {WinogradVariant::F43, WinogradVariant::F63}) {
                const std::string what = describe(k, isa, variant);
                std::string error;
                std::unique_ptr<WinogradConvolution> winograd;
                ASSERT_EQ(WinogradConvolution::create(weights, inShape, k.pad, epilogue, 2, winograd, error,
                                                      variant, k.chunk, isa),
                          0)
                    << what << ": " << error;
                ASSERT_TRUE(winograd->outputShape() == outShape) << what;
                std::vector<float> src = toLayout(k, inputs[0].second);
                std::vector<float> dst(sizeOf(k, outShape), k.block ? 99.f : kUntouched);
                std::vector<float> res = residual ? toLayout(k, inputs[1].second) : std::vector<float>{};
                const WinogradTensor resView = view(k, res, outShape);
                std::vector<char> scratch(winograd->scratchBytes());
                ASSERT_EQ(winograd->run(view(k, src, inShape), view(k, dst, outShape),
                                        residual ? &resView : nullptr, scratch.data(), error),
                          0)
                    << what << ": " << error;

                std::vector<float> got;
                for (int c = 0; c < outShape.c; ++c)
                    for (int y = 0; y < outShape.h; ++y)
                        for (int x = 0; x < outShape.w; ++x)
                            got.push_back(dst[offsetOf(k, outShape, c, y, x)]);
                EXPECT_LE(rtest::relativeError(got, rtest::flatten(expected)), kFp32Tolerance) << what;
                // Padded channels come out zero; gaps of a wider buffer are left alone.
                size_t stray = 0;
                std::vector<bool> mine(dst.size(), false);
                for (int c = 0; c < outShape.c; ++c)
                    for (int y = 0; y < outShape.h; ++y)
                        for (int x = 0; x < outShape.w; ++x)
                            mine[offsetOf(k, outShape, c, y, x)] = true;
                for (size_t i = 0; i < dst.size(); ++i)
                    stray += !mine[i] && dst[i] != (k.block ? 0.f : kUntouched);
                EXPECT_EQ(stray, 0u) << what;
            }
    }
}

} // namespace
