// The oneDNN plan against direct loops: every fast layer and fused pattern on awkward shapes.
// Error metric: max |fast - naive| / max |naive| (normalised), bound 1e-4.

#include "naive_graph.h"

#include "cpu/onednn/bench/sample_graphs.h"
#include "cpu/onednn/layers/convolution_onednn.h"
#include "cpu/onednn/onednn_plan.h"
#include "cpu/onednn/plan_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <thread>

using namespace brivelle::onednn;
using namespace brivelle::onednn::testing;

namespace {

constexpr double kBound = 1e-4;

FastOp makeOp(OpType type, std::vector<int> bottoms, std::vector<int> tops)
{
    FastOp op;
    op.type = type;
    op.name =
        "op" + std::to_string(static_cast<int>(type)) + "_" + std::to_string(tops.empty() ? -1 : tops[0]);
    op.bottoms = std::move(bottoms);
    op.tops = std::move(tops);
    return op;
}

FastOp makeConv(int bottom, int top, int inC, int outC, int k, unsigned seed, int act = 0, float a = 0.f)
{
    FastOp op = makeOp(OpType::Convolution, {bottom}, {top});
    op.outChannels = outC;
    op.kernelW = op.kernelH = k;
    op.padLeft = op.padRight = op.padTop = op.padBottom = k / 2;
    op.weights = randomVector(static_cast<size_t>(outC) * inC * k * k, seed, 1.f / k / std::sqrt(float(inC)));
    op.bias = randomVector(outC, seed + 1, 0.1f);
    op.activation.type = act;
    op.activation.a = a;
    return op;
}

struct Result {
    std::map<int, Planar> outputs;
    int fused = 0;
    int inPlace = 0;
    size_t peak = 0;
    size_t blobPeak = 0; // the schedule's, without scratchpads
    std::vector<std::string> kernels;
};

// Every layout a plan can keep its blobs in; forced ones may run slow kernels on purpose.
constexpr Layout kLayouts[] = {Layout::Plain, Layout::Nhwc, Layout::Blocked8, Layout::Blocked16};

Result runFast(const FastGraph &graph, const std::map<int, Planar> &inputs, const std::vector<int> &outputs,
               int threads = 2, bool light = true, Layout layout = Layout::Auto, bool winograd = false)
{
    std::vector<std::pair<int, Shape>> shapes;
    for (const auto &in : inputs)
        shapes.emplace_back(in.first, in.second.shape);
    PlanOptions options;
    options.numThreads = threads;
    options.lightMode = light;
    options.layout = layout;
    options.allowSlowConvolutions = layout != Layout::Auto;
    options.tryWinograd = winograd;
    std::string error;
    auto plan = Plan::compile(graph, shapes, outputs, options, &error);
    EXPECT_TRUE(plan) << error;
    Result result;
    if (!plan)
        return result;
    // Inputs and outputs with a padded channel step, as ncnn::Mat lays them out.
    std::map<int, std::vector<float>> storage;
    std::vector<std::pair<int, TensorView>> inViews, outViews;
    auto padded = [](Shape s) {
        return static_cast<size_t>(s.h) * s.w + 3;
    };
    for (const auto &in : inputs) {
        const Shape s = in.second.shape;
        auto &buf = storage[in.first];
        buf.assign(padded(s) * s.c, -7.f);
        for (int c = 0; c < s.c; ++c)
            std::copy_n(in.second.data.begin() + static_cast<size_t>(c) * s.h * s.w, s.h * s.w,
                        buf.begin() + padded(s) * c);
        inViews.emplace_back(in.first, TensorView{buf.data(), s, padded(s)});
    }
    for (int o : outputs) {
        const Shape s = plan->shapeOf(o);
        auto &buf = storage[1000000 + o];
        buf.assign(padded(s) * s.c, -7.f);
        outViews.emplace_back(o, TensorView{buf.data(), s, padded(s)});
    }
    BufferPool pool;
    EXPECT_EQ(plan->run(inViews, outViews, pool, &error), 0) << error;
    for (const auto &view : outViews) {
        Planar p;
        p.shape = view.second.shape;
        for (int c = 0; c < p.shape.c; ++c)
            p.data.insert(p.data.end(), view.second.data + view.second.cstep * c,
                          view.second.data + view.second.cstep * c + p.shape.h * p.shape.w);
        result.outputs[view.first] = p;
    }
    result.fused = plan->fusedLayerCount();
    result.inPlace = plan->inPlaceConcatCount();
    result.peak = pool.peakBytes();
    result.blobPeak = plan->peakBlobBytes();
    EXPECT_GE(result.peak, result.blobPeak);
    result.kernels = plan->convolutionKernels();
    EXPECT_EQ(pool.bytesInUse(), 0u);
    return result;
}

void expectMatches(const FastGraph &graph, const std::map<int, Planar> &inputs,
                   const std::vector<int> &outputs, const std::string &what, int threads = 2,
                   Result *out = nullptr, Layout layout = Layout::Auto, bool winograd = false)
{
    const auto naive = evaluateNaive(graph, inputs);
    const Result fast = runFast(graph, inputs, outputs, threads, true, layout, winograd);
    for (int o : outputs) {
        ASSERT_TRUE(fast.outputs.count(o)) << what;
        const Planar &a = fast.outputs.at(o);
        const Planar &b = naive.at(o);
        ASSERT_TRUE(a.shape == b.shape)
            << what << " shape " << a.shape.c << "x" << a.shape.h << "x" << a.shape.w << " vs " << b.shape.c
            << "x" << b.shape.h << "x" << b.shape.w;
        EXPECT_LE(normalisedError(a.data, b.data), kBound) << what << " blob " << o;
    }
    if (out)
        *out = fast;
}

struct ConvCase {
    int ic, oc, k, stride, dilation, pad, h, w, act;
    bool bias;
};

} // namespace

TEST(OnednnConvolution, AwkwardShapesAndActivations)
{
    const ConvCase cases[] = {
        {3, 64, 3, 1, 1, 1, 9, 7, 0, true},    {13, 20, 3, 1, 1, 1, 5, 5, 2, true},
        {16, 16, 3, 1, 1, 1, 1, 1, 1, false},  {7, 5, 1, 1, 1, 0, 6, 11, 3, true},
        {20, 13, 5, 1, 1, 2, 5, 5, 4, true},   {9, 17, 3, 2, 1, 1, 7, 9, 5, true},
        {8, 24, 3, 1, 2, 2, 6, 5, 6, true},    {5, 3, 3, 1, 1, -233, 4, 7, 0, true},
        {5, 3, 4, 2, 1, -234, 7, 8, 2, false}, {64, 32, 3, 1, 1, 1, 5, 3, 2, true},
    };
    unsigned seed = 1;
    for (const ConvCase &c : cases) {
        FastGraph g;
        g.blobCount = 2;
        g.ops.push_back(makeOp(OpType::Input, {}, {0}));
        FastOp conv = makeConv(0, 1, c.ic, c.oc, c.k, seed++, c.act, 0.1f);
        conv.strideW = conv.strideH = c.stride;
        conv.dilationW = conv.dilationH = c.dilation;
        conv.padLeft = conv.padRight = conv.padTop = conv.padBottom = c.pad;
        if (c.act == 3) {
            conv.activation.a = -0.3f;
            conv.activation.b = 0.4f;
        }
        if (c.act == 6) {
            conv.activation.a = 1.f / 6.f;
            conv.activation.b = 0.5f;
        }
        if (!c.bias)
            conv.bias.clear();
        g.ops.push_back(conv);
        std::ostringstream what;
        what << "ic=" << c.ic << " oc=" << c.oc << " k=" << c.k << " s=" << c.stride << " d=" << c.dilation
             << " pad=" << c.pad << " " << c.h << "x" << c.w << " act=" << c.act;
        const auto input = randomPlanar({c.ic, c.h, c.w}, seed++);
        for (Layout layout : kLayouts)
            expectMatches(g, {{0, input}}, {1}, what.str() + " in " + layoutName(layout), 2, nullptr, layout);
    }
}

// The residual of a dense block (0.2 * conv + x) and of the block around it fold into one convolution.
TEST(OnednnFusion, ResidualSumsFoldIntoTheConvolution)
{
    for (int channels : {16, 13}) {
        FastGraph g;
        g.blobCount = 8;
        g.ops.push_back(makeOp(OpType::Input, {}, {0}));
        g.ops.push_back(makeConv(0, 1, 3, channels, 3, 5));
        g.ops.push_back(makeOp(OpType::Split, {1}, {2, 3, 4}));
        g.ops.push_back(makeConv(2, 5, channels, channels, 3, 7, 2, 0.2f));
        FastOp inner = makeOp(OpType::Eltwise, {5, 3}, {6});
        inner.operation = 1;
        inner.coeffs = {0.2f, 1.f};
        g.ops.push_back(inner);
        FastOp outer = makeOp(OpType::Eltwise, {6, 4}, {7});
        outer.operation = 1;
        outer.coeffs = {0.2f, 1.f};
        g.ops.push_back(outer);
        Result r;
        expectMatches(g, {{0, randomPlanar({3, 6, 5}, 9)}}, {7}, "channels " + std::to_string(channels), 2,
                      &r);
        EXPECT_EQ(r.fused, 2);
    }
}

TEST(OnednnFusion, BinaryOperationsOnEitherSide)
{
    for (int operation : {0, 1, 2, 3, 4, 5, 7, 8}) {
        for (bool convFirst : {true, false}) {
            for (bool scalar : {false, true}) {
                if (scalar && (operation == 8 || !convFirst))
                    continue;
                FastGraph g;
                g.blobCount = 4;
                g.ops.push_back(makeOp(OpType::Input, {}, {0}));
                g.ops.push_back(makeOp(OpType::Input, {}, {1}));
                // A sigmoid keeps the convolution away from zero when it is the divisor.
                FastOp conv = makeConv(0, 2, 5, 11, 3, 3, 4);
                conv.bias.assign(11, 1.f);
                g.ops.push_back(conv);
                FastOp bin = makeOp(OpType::BinaryOp,
                                    scalar      ? std::vector<int>{2}
                                    : convFirst ? std::vector<int>{2, 1}
                                                : std::vector<int>{1, 2},
                                    {3});
                bin.operation = operation;
                bin.withScalar = scalar;
                bin.scalar = 0.75f;
                g.ops.push_back(bin);
                Planar other = randomPlanar({11, 4, 3}, 4);
                for (float &v : other.data)
                    v += v < 0.f ? -0.5f : 0.5f; // no division by values near zero
                std::ostringstream what;
                what << "operation " << operation << (convFirst ? " conv first" : " conv second")
                     << (scalar ? " scalar" : "");
                // Division by the convolution is left unfused; results must match either way.
                expectMatches(g, {{0, randomPlanar({5, 4, 3}, 3)}, {1, other}}, {3}, what.str());
            }
        }
    }
}

// An operand produced after the convolution, or a convolution read twice, cannot be folded.
TEST(OnednnFusion, UnfusableOrdersStayCorrect)
{
    FastGraph g;
    g.blobCount = 8;
    g.ops.push_back(makeOp(OpType::Input, {}, {0}));
    g.ops.push_back(makeConv(0, 1, 6, 9, 3, 11));
    g.ops.push_back(makeConv(0, 2, 6, 9, 1, 12));
    FastOp sum = makeOp(OpType::Eltwise, {1, 2}, {3});
    sum.operation = 1;
    sum.coeffs = {0.5f, -1.5f};
    g.ops.push_back(sum);
    g.ops.push_back(makeOp(OpType::Split, {3}, {4, 5}));
    FastOp relu = makeOp(OpType::ReLU, {4}, {6});
    relu.slope = 0.1f;
    g.ops.push_back(relu);
    FastOp prod = makeOp(OpType::Eltwise, {6, 5}, {7});
    prod.operation = 0;
    g.ops.push_back(prod);
    expectMatches(g, {{0, randomPlanar({6, 5, 7}, 13)}}, {7, 3}, "late operand");
}

namespace {

// RRDBNet's dense block: each of `steps` convolutions reads the concatenation of all earlier features,
// a last convolution folds them back to `feat` channels, and a scaled residual sum closes the block;
// `outerSum` adds a second one, as the group of blocks around it does. The block's output is the last
// blob. Weight seeds start at seedBase.
FastGraph denseBlockGraph(int feat, int growth, int steps, int seedBase, bool outerSum = false)
{
    FastGraph g;
    int blob = 0;
    g.ops.push_back(makeOp(OpType::Input, {}, {blob++}));
    const int x = blob++;
    g.ops.push_back(makeConv(0, x, 3, feat, 3, seedBase + 1));
    std::vector<int> features{x};
    int channels = feat, cat = x;
    for (int step = 0; step < steps; ++step) {
        const int y = blob++;
        g.ops.push_back(makeConv(cat, y, channels, growth, 3, seedBase + 10 + step, 2, 0.2f));
        features.push_back(y);
        channels += growth;
        cat = blob++;
        g.ops.push_back(makeOp(OpType::Concat, features, {cat}));
    }
    const int last = blob++;
    g.ops.push_back(makeConv(cat, last, channels, feat, 3, seedBase + 20));
    FastOp sum = makeOp(OpType::Eltwise, {last, x}, {blob++});
    sum.operation = 1;
    sum.coeffs = {0.2f, 1.f};
    g.ops.push_back(sum);
    if (outerSum) {
        FastOp outer = makeOp(OpType::Eltwise, {blob - 1, x}, {blob});
        ++blob;
        outer.operation = 1;
        outer.coeffs = {0.2f, 1.f};
        g.ops.push_back(outer);
    }
    g.blobCount = blob;
    return g;
}

} // namespace

// RRDBNet's dense block: every step concatenates all earlier features; aligned channel counts are
// written straight into one buffer, others are copied.
TEST(OnednnConcat, DenseBlockInPlaceAndCopied)
{
    struct Row {
        int feat, growth;
    };
    for (const Row &row : {Row{16, 8}, Row{13, 5}, Row{8, 16}, Row{8, 12}})
        for (Layout layout : kLayouts) {
            const FastGraph g = denseBlockGraph(row.feat, row.growth, 4, 20);
            const int blob = g.blobCount;
            Result r;
            const std::string what = "feat " + std::to_string(row.feat) + " in " + layoutName(layout);
            expectMatches(g, {{0, randomPlanar({3, 7, 6}, 22)}}, {blob - 1}, what, 2, &r, layout);
            // Channels-last interleaves the channels of a pixel: its concats always copy.
            const int block = layout == Layout::Blocked16 ? 16 : 8;
            if (layout == Layout::Nhwc) {
                EXPECT_EQ(r.inPlace, 0) << what;
            } else if (layout == Layout::Plain || (row.feat % block == 0 && row.growth % block == 0)) {
                EXPECT_EQ(r.inPlace, 4) << what;
            }
        }
}

// Wide enough for Winograd: every 3x3 layer but the first takes it, its activation and both residual
// sums included, in each layout that has its transforms.
TEST(OnednnWinograd, DenseBlockInEveryLayout)
{
    for (Layout layout : {Layout::Auto, Layout::Nhwc, Layout::Blocked8, Layout::Blocked16}) {
        const FastGraph g = denseBlockGraph(40, 24, 2, 50, true);
        const int blob = g.blobCount;
        Result r;
        const std::string what = std::string("in ") + layoutName(layout);
        expectMatches(g, {{0, randomPlanar({3, 13, 11}, 52)}}, {blob - 1}, what, 2, &r, layout, true);
        // A planar layout (forced for the gemm tests) has no Winograd transforms.
        const bool planar = (layout == Layout::Auto ? preferredLayout() : layout) == Layout::Plain;
        int winograd = 0;
        for (const std::string &kernel : r.kernels)
            winograd += kernel.rfind("winograd_", 0) == 0;
        EXPECT_EQ(winograd, planar ? 0 : 3) << what;
    }
}

TEST(OnednnLayers, ResamplingShufflesAndActivations)
{
    struct Row {
        OpType type;
        int channels, h, w, factor, mode;
    };
    const Row rows[] = {
        {OpType::Interp, 13, 5, 3, 2, 0},       {OpType::Interp, 3, 1, 1, 4, 0},
        {OpType::PixelShuffle, 12, 3, 5, 2, 0}, {OpType::PixelShuffle, 12, 3, 5, 2, 1},
        {OpType::PixelShuffle, 27, 1, 2, 3, 0}, {OpType::Reorg, 3, 7, 5, 2, 0},
        {OpType::Reorg, 5, 6, 6, 3, 1},         {OpType::PReLU, 13, 5, 5, 1, 0},
        {OpType::PReLU, 8, 1, 1, 1, 1},         {OpType::ReLU, 11, 3, 3, 1, 0},
        {OpType::Clip, 11, 3, 3, 1, 0},         {OpType::Sigmoid, 9, 2, 7, 1, 0},
    };
    for (const Row &row : rows) {
        for (bool afterConv : {false, true})
            for (Layout layout : kLayouts) {
                FastGraph g;
                g.blobCount = 3;
                g.ops.push_back(makeOp(OpType::Input, {}, {0}));
                int src = 0;
                if (afterConv) {
                    g.ops.push_back(makeConv(0, 1, row.channels, row.channels, 3, 50));
                    src = 1;
                }
                FastOp op = makeOp(row.type, {src}, {2});
                op.factor = row.factor;
                op.mode = row.mode;
                op.heightScale = op.widthScale = static_cast<float>(row.factor);
                op.slope = 0.2f;
                op.minValue = -0.2f;
                op.maxValue = 0.3f;
                op.slopes = row.mode == 0 ? randomVector(row.channels, 51, 0.5f) : std::vector<float>{0.25f};
                g.ops.push_back(op);
                std::ostringstream what;
                what << "type " << static_cast<int>(row.type) << " " << row.channels << "x" << row.h << "x"
                     << row.w << " factor " << row.factor << " mode " << row.mode
                     << (afterConv ? " after conv" : "") << " in " << layoutName(layout);
                expectMatches(g, {{0, randomPlanar({row.channels, row.h, row.w}, 52)}}, {2}, what.str(), 2,
                              nullptr, layout);
            }
    }
}

TEST(OnednnLayers, EltwiseOfInputs)
{
    for (int operation : {0, 1, 2}) {
        FastGraph g;
        g.blobCount = 4;
        g.ops.push_back(makeOp(OpType::Input, {}, {0}));
        g.ops.push_back(makeOp(OpType::Input, {}, {1}));
        g.ops.push_back(makeOp(OpType::Input, {}, {2}));
        FastOp op = makeOp(OpType::Eltwise, {0, 1, 2}, {3});
        op.operation = operation;
        if (operation == 1)
            op.coeffs = {0.5f, -2.f, 1.f};
        g.ops.push_back(op);
        const Shape s{13, 3, 5};
        expectMatches(g, {{0, randomPlanar(s, 1)}, {1, randomPlanar(s, 2)}, {2, randomPlanar(s, 3)}}, {3},
                      "operation " + std::to_string(operation));
    }
}

TEST(OnednnPlan, ThreadCountsAndLightModeAgree)
{
    FastGraph g;
    g.blobCount = 6;
    g.ops.push_back(makeOp(OpType::Input, {}, {0}));
    g.ops.push_back(makeConv(0, 1, 3, 24, 3, 60, 1));
    g.ops.push_back(makeConv(1, 2, 24, 24, 3, 61, 1));
    g.ops.push_back(makeConv(2, 3, 24, 24, 3, 62, 1));
    g.ops.push_back(makeConv(3, 4, 24, 24, 3, 63, 1));
    g.ops.push_back(makeConv(4, 5, 24, 3, 3, 64));
    const std::map<int, Planar> inputs{{0, randomPlanar({3, 17, 13}, 65)}};
    const Result one = runFast(g, inputs, {5}, 1);
    for (int threads : {2, 4}) {
        const Result other = runFast(g, inputs, {5}, threads);
        EXPECT_LE(normalisedError(other.outputs.at(5).data, one.outputs.at(5).data), kBound) << threads;
    }
    const Result heavy = runFast(g, inputs, {5}, 2, false);
    EXPECT_LE(normalisedError(heavy.outputs.at(5).data, one.outputs.at(5).data), kBound);
    // Light mode keeps two feature maps alive, not all five (gemm's scratchpads, in the planar layout, come
    // on top of either).
    EXPECT_LT(one.blobPeak * 2, heavy.blobPeak);
}

// A chain of 3x3 convolutions of `channels` channels with a residual sum: blob `3` is the result.
FastGraph convolutionChain(int channels)
{
    FastGraph g;
    g.blobCount = 4;
    g.ops.push_back(makeOp(OpType::Input, {}, {0}));
    g.ops.push_back(makeConv(0, 1, channels, channels, 3, 60, 2, 0.2f));
    g.ops.push_back(makeConv(1, 2, channels, channels, 3, 61, 2, 0.2f));
    FastOp sum = makeOp(OpType::Eltwise, {2, 0}, {3});
    sum.operation = 1;
    g.ops.push_back(sum);
    return g;
}

// The regression of plans that went planar where oneDNN wanted channels-last: every 3x3 convolution fell
// to gemm, ten times slower and with a library-owned scratchpad.
TEST(OnednnPlan, NoThreeByThreeConvolutionOnASlowKernel)
{
    const FastGraph g = convolutionChain(64);
    const std::vector<std::pair<int, Shape>> in{{0, Shape{64, 12, 10}}};
    std::string error;
    PlanOptions plain;
    plain.layout = Layout::Plain;
    EXPECT_FALSE(Plan::compile(g, in, {3}, plain, &error)) << "oneDNN runs planar 3x3 convolutions on gemm";
    EXPECT_NE(error.find("3x3 convolution on"), std::string::npos) << error;
    if (layoutForced())
        return;
    auto plan = Plan::compile(g, in, {3}, PlanOptions{}, &error);
    ASSERT_TRUE(plan) << error;
    for (const std::string &kernel : plan->convolutionKernels())
        EXPECT_FALSE(slowConvolutionKernel(kernel.c_str())) << kernel << " in " << layoutName(plan->layout());
}

// oneDNN's scratchpads are the caller's memory: a pool that refuses its n-th block fails the run with
// ERROR_OUT_OF_MEMORY and gets every block back, in each layout (planar ones run gemm, which needs the most).
TEST(OnednnPlan, ScratchpadsComeFromTheCallersPool)
{
    const FastGraph g = convolutionChain(16);
    const std::map<int, Planar> inputs{{0, randomPlanar({16, 9, 11}, 62)}};
    const auto naive = evaluateNaive(g, inputs);
    for (Layout layout : kLayouts) {
        PlanOptions options;
        options.layout = layout;
        options.allowSlowConvolutions = true;
        std::string error;
        auto plan = Plan::compile(g, {{0, Shape{16, 9, 11}}}, {3}, options, &error);
        ASSERT_TRUE(plan) << error;
        if (layout == Layout::Plain) {
            EXPECT_GT(plan->scratchpadBytes(), 0u) << "gemm convolutions need a scratchpad";
        }
        const Planar &in = inputs.at(0);
        std::vector<float> out(static_cast<size_t>(16) * 9 * 11);
        const std::vector<std::pair<int, TensorView>> inViews{
            {0, TensorView{const_cast<float *>(in.data.data()), in.shape, size_t(9 * 11)}}};
        const std::vector<std::pair<int, TensorView>> outViews{
            {3, TensorView{out.data(), in.shape, size_t(9 * 11)}}};
        bool done = false;
        for (int allowed = 0; allowed < 40 && !done; ++allowed) {
            int given = 0;
            size_t largest = 0;
            BufferPool pool(
                [&](size_t bytes) -> void * {
                    if (given++ >= allowed)
                        return nullptr;
                    largest = std::max(largest, bytes);
                    return std::aligned_alloc(64, bytes);
                },
                [](void *p) { std::free(p); });
            const int ret = plan->run(inViews, outViews, pool, &error);
            EXPECT_EQ(pool.bytesInUse(), 0u);
            if (ret == 0) {
                done = true;
                EXPECT_GE(largest, plan->scratchpadBytes());
                EXPECT_LE(normalisedError(out, naive.at(3).data), kBound) << layoutName(layout);
            } else {
                EXPECT_EQ(ret, ncnn::ERROR_OUT_OF_MEMORY) << error;
            }
        }
        EXPECT_TRUE(done) << layoutName(layout);
    }
}

// Winograd's scratch comes from the run's pool too: runs of one plan overlap on several threads, and a
// pool that refuses its n-th block fails the run with ERROR_OUT_OF_MEMORY and gets every block back.
TEST(OnednnWinograd, ConcurrentRunsAndRefusedScratch)
{
    const FastGraph g = convolutionChain(32);
    const Shape shape{32, 9, 11};
    const std::map<int, Planar> inputs{{0, randomPlanar(shape, 63)}};
    const std::vector<float> expected = evaluateNaive(g, inputs).at(3).data;
    PlanOptions options;
    options.numThreads = 2;
    options.tryWinograd = true;
    std::string error;
    auto plan = Plan::compile(g, {{0, shape}}, {3}, options, &error);
    ASSERT_TRUE(plan) << error;
    if (plan->layout() != Layout::Plain) {
        for (const std::string &kernel : plan->convolutionKernels())
            EXPECT_EQ(kernel.rfind("winograd_", 0), 0u) << kernel;
    }
    const size_t planeSize = static_cast<size_t>(shape.h) * shape.w;
    const std::vector<std::pair<int, TensorView>> inViews{
        {0, TensorView{const_cast<float *>(inputs.at(0).data.data()), shape, planeSize}}};

    std::vector<std::vector<float>> outs(3, std::vector<float>(expected.size()));
    std::vector<int> codes(outs.size(), -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < outs.size(); ++i)
        threads.emplace_back([&, i] {
            BufferPool pool;
            std::string why;
            codes[i] = plan->run(inViews, {{3, TensorView{outs[i].data(), shape, planeSize}}}, pool, &why);
        });
    for (std::thread &t : threads)
        t.join();
    for (size_t i = 0; i < outs.size(); ++i) {
        EXPECT_EQ(codes[i], 0);
        EXPECT_LE(normalisedError(outs[i], expected), kBound) << "thread " << i;
    }

    bool done = false;
    for (int allowed = 0; allowed < 20 && !done; ++allowed) {
        int given = 0;
        BufferPool pool(
            [&](size_t bytes) { return given++ < allowed ? std::aligned_alloc(64, bytes) : nullptr; },
            [](void *p) { std::free(p); });
        const int ret = plan->run(inViews, {{3, TensorView{outs[0].data(), shape, planeSize}}}, pool, &error);
        EXPECT_EQ(pool.bytesInUse(), 0u);
        done = ret == 0;
        if (!done) {
            EXPECT_EQ(ret, ncnn::ERROR_OUT_OF_MEMORY) << error;
        }
    }
    EXPECT_TRUE(done);
}

TEST(OnednnPlan, RejectsWhatItCannotRun)
{
    FastGraph g;
    g.blobCount = 3;
    g.ops.push_back(makeOp(OpType::Input, {}, {0}));
    FastOp conv = makeConv(0, 1, 4, 4, 3, 1);
    g.ops.push_back(conv);
    std::string error;
    // Weights for four channels, an input of five.
    EXPECT_FALSE(Plan::compile(g, {{0, Shape{5, 4, 4}}}, {1}, PlanOptions{}, &error));
    EXPECT_NE(error.find("input channels"), std::string::npos) << error;
    EXPECT_FALSE(Plan::compile(g, {{0, Shape{4, 1, 1}}}, {2}, PlanOptions{}, &error));
    FastOp interp = makeOp(OpType::Interp, {1}, {2});
    interp.resizeType = 2;
    g.ops.push_back(interp);
    std::string why;
    EXPECT_EQ(checkGraph(g, why), ncnn::ERROR_UNSUPPORTED_LAYER);
    EXPECT_NE(why.find("nearest"), std::string::npos) << why;
}

// Tiles of several shapes in turn: each shape compiles once and none borrows another's primitives.
TEST(OnednnPlanCache, ShapesInTurnCompileOnceEach)
{
    const SampleGraph net = makeRrdbNetGraph(1, 16, 8, 3);
    PlanCache cache(net.graph, 2);
    const Shape shapes[] = {{3, 9, 7}, {3, 5, 11}, {3, 9, 7}, {3, 9, 7}, {3, 5, 11}, {3, 4, 4}, {3, 9, 7}};
    unsigned seed = 70;
    size_t firstWeights = 0;
    for (const Shape &s : shapes) {
        const Planar in = randomPlanar(s, seed++);
        std::string error;
        PlanOptions options;
        options.numThreads = 2;
        auto plan = cache.get({{net.input, s}}, {net.output}, options, &error);
        ASSERT_TRUE(plan) << error;
        if (!firstWeights)
            firstWeights = cache.weightBytes();
        const Shape outShape = plan->shapeOf(net.output);
        ASSERT_EQ(outShape.h, s.h * 4);
        std::vector<float> input = in.data;
        std::vector<float> out(static_cast<size_t>(outShape.c) * outShape.h * outShape.w);
        const size_t inStep = static_cast<size_t>(s.h) * s.w,
                     outStep = static_cast<size_t>(outShape.h) * outShape.w;
        ASSERT_EQ(plan->run({{net.input, TensorView{input.data(), s, inStep}}},
                            {{net.output, TensorView{out.data(), outShape, outStep}}}, cache.pool(), &error),
                  0)
            << error;
        const auto naive = evaluateNaive(net.graph, {{net.input, in}});
        EXPECT_LE(normalisedError(out, naive.at(net.output).data), kBound) << s.h << "x" << s.w;
    }
    // 4x4 evicts 9x7, the least recently used, which then compiles again.
    EXPECT_EQ(cache.compilations(), 4);
    EXPECT_EQ(cache.size(), 2u);
    // Every shape chose the same weight layouts: one reordered copy serves them all.
    EXPECT_GT(firstWeights, 0u);
    EXPECT_EQ(cache.weightBytes(), firstWeights);
}

TEST(OnednnNetworks, RrdbNetAndSrvggEndToEnd)
{
    const SampleGraph nets[] = {makeRrdbNetGraph(2, 16, 8, 5), makeRrdbNetGraph(1, 13, 5, 6),
                                makeSrvggGraph(3, 12, 7)};
    for (const SampleGraph &net : nets) {
        for (int threads : {1, 2, 4}) {
            Result r;
            expectMatches(net.graph, {{net.input, randomPlanar({3, 7, 5}, 80, 1.f)}}, {net.output},
                          "network of " + std::to_string(net.graph.ops.size()) + " layers, threads " +
                              std::to_string(threads),
                          threads, &r);
        }
    }
}
