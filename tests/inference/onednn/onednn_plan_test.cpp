// The oneDNN plan against the reference backend on the same loaded graph: every fast layer and fused pattern
// on awkward shapes, in every layout. Error metric: max |fast - reference| / max(|reference|, 1), bound 1e-4.

#include "support/runtime/failingAllocator.h"
#include "support/runtime/onednn.h"

#include "cpu/onednn/layers/convolution_onednn.h"
#include "cpu/onednn/plan_cache.h"

#include <gtest/gtest.h>
#include <ncnn/cpu.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>

using namespace brivelle::onednn;
using namespace rtest;

namespace {

struct Result {
    std::vector<ncnn::Mat> outputs;
    int fused = 0;
    int inPlace = 0;
    size_t peak = 0;
    size_t blobPeak = 0; // the schedule's, without scratchpads
    std::vector<std::string> kernels;
};

// Every layout a plan can keep its blobs in; forced ones may run slow kernels on purpose.
constexpr Layout kLayouts[] = {Layout::Plain, Layout::Nhwc, Layout::Blocked8, Layout::Blocked16};

PlanOptions planOptions(int threads = 2, bool light = true, Layout layout = Layout::Auto,
                        bool winograd = false)
{
    PlanOptions options;
    options.numThreads = threads;
    options.lightMode = light;
    options.layout = layout;
    options.allowSlowConvolutions = layout != Layout::Auto;
    options.tryWinograd = winograd;
    return options;
}

// Outputs are ncnn::Mats: their channel step is padded as the backend's callers lay them out.
Result runFast(const ncnn::Graph &graph, const Inputs &inputs, const std::vector<int> &outputs,
               const PlanOptions &options = planOptions())
{
    std::vector<std::pair<int, Shape>> shapes;
    std::vector<std::pair<int, TensorView>> inViews, outViews;
    for (const auto &in : inputs) {
        shapes.emplace_back(in.first, shapeOf(in.second));
        inViews.emplace_back(in.first, viewOf(in.second));
    }
    std::unique_ptr<Plan> plan;
    std::string error;
    Result result;
    EXPECT_EQ(Plan::compile(graph, shapes, outputs, options, plan, error), 0) << error;
    if (!plan)
        return result;
    for (int o : outputs) {
        const Shape s = plan->shapeOf(o);
        result.outputs.emplace_back(s.w, s.h, s.c);
        result.outputs.back().fill(-7.f);
        outViews.emplace_back(o, viewOf(result.outputs.back()));
    }
    BufferPool pool;
    EXPECT_EQ(plan->run(inViews, outViews, pool, error), 0) << error;
    result.fused = plan->fusedLayerCount();
    result.inPlace = plan->inPlaceConcatCount();
    result.peak = pool.peakBytes();
    result.blobPeak = plan->peakBlobBytes();
    EXPECT_GE(result.peak, result.blobPeak);
    result.kernels = plan->convolutionKernels();
    EXPECT_EQ(pool.bytesInUse(), 0u);
    return result;
}

// Each output of the plan against the reference backend's.
Result expectMatches(const ncnn::Graph &graph, const Inputs &inputs, const std::vector<std::string> &outputs,
                     const std::string &what, const PlanOptions &options = planOptions())
{
    std::vector<int> blobs;
    for (const std::string &o : outputs)
        blobs.push_back(graph.find_blob(o));
    Result fast = runFast(graph, inputs, blobs, options);
    for (size_t k = 0; k < blobs.size() && k < fast.outputs.size(); ++k)
        EXPECT_LE(relativeError(fast.outputs[k], runBackend(graph, inputs, blobs[k])), kFp32Tolerance)
            << what << ", blob " << outputs[k] << " in " << layoutName(options.layout);
    return fast;
}

Inputs inputOf(const ncnn::Graph &graph, Shape shape, unsigned seed)
{
    return {{graph.find_blob("data"), randomMat(shape, seed)}};
}

// A network read from `data` that `body` writes.
std::shared_ptr<ncnn::Graph> network(unsigned seed, const std::function<void(ModelWriter &)> &body)
{
    ModelWriter m(seed);
    m.input("data");
    body(m);
    return load(m);
}

} // namespace

TEST(OnednnConvolution, AwkwardShapesAndActivations)
{
    struct Row {
        int ic, oc, k, stride, dilation, pad, h, w;
        const char *activation; // keys 9 and -23310 of the layer
        bool bias;
    };
    const Row rows[] = {
        {3, 64, 3, 1, 1, 1, 9, 7, "", true},
        {13, 20, 3, 1, 1, 1, 5, 5, "9=2 -23310=1,1.000000e-01", true},
        {16, 16, 3, 1, 1, 1, 1, 1, "9=1", false},
        {7, 5, 1, 1, 1, 0, 6, 11, "9=3 -23310=2,-3.000000e-01,4.000000e-01", true},
        {20, 13, 5, 1, 1, 2, 5, 5, "9=4", true},
        {9, 17, 3, 2, 1, 1, 7, 9, "9=5", true},
        {8, 24, 3, 1, 2, 2, 6, 5, "9=6 -23310=2,1.666667e-01,5.000000e-01", true},
        {5, 3, 3, 1, 1, -233, 4, 7, "", true},
        {5, 3, 4, 2, 1, -234, 7, 8, "9=2 -23310=1,1.000000e-01", false},
        {64, 32, 3, 1, 1, 1, 5, 3, "9=2 -23310=1,1.000000e-01", true},
    };
    unsigned seed = 1;
    for (const Row &c : rows) {
        const int weights = c.ic * c.oc * c.k * c.k;
        const std::string params = "0=" + std::to_string(c.oc) + " 1=" + std::to_string(c.k) +
                                   " 2=" + std::to_string(c.dilation) + " 3=" + std::to_string(c.stride) +
                                   " 4=" + std::to_string(c.pad) + " 5=" + std::to_string(c.bias) +
                                   " 6=" + std::to_string(weights) + " " + c.activation;
        auto graph = network(seed++, [&](ModelWriter &m) {
            m.convWithParams("conv", "data", "output", weights, c.oc, c.bias, params);
        });
        ASSERT_TRUE(graph);
        const Inputs in = inputOf(*graph, {c.ic, c.h, c.w}, seed++);
        for (Layout layout : kLayouts)
            expectMatches(*graph, in, {"output"}, params, planOptions(2, true, layout));
    }
}

// The residual of a dense block (0.2 * conv + x) and of the block around it fold into one convolution.
TEST(OnednnFusion, ResidualSumsFoldIntoTheConvolution)
{
    for (int channels : {16, 13}) {
        auto graph = network(5, [channels](ModelWriter &m) {
            m.conv("first", "data", "x", 3, channels, 3);
            m.layer("Split", "split", {"x"}, {"x0", "x1", "x2"});
            m.conv("conv", "x0", "y", channels, channels, 3, "9=2 -23310=1,2.000000e-01");
            m.layer("Eltwise", "inner", {"y", "x1"}, {"z"}, "0=1 -23301=2,2.000000e-01,1.000000e+00");
            m.layer("Eltwise", "outer", {"z", "x2"}, {"output"}, "0=1 -23301=2,2.000000e-01,1.000000e+00");
        });
        ASSERT_TRUE(graph);
        const Result r = expectMatches(*graph, inputOf(*graph, {3, 6, 5}, 9), {"output"},
                                       "channels " + std::to_string(channels));
        EXPECT_EQ(r.fused, 2);
    }
}

TEST(OnednnFusion, BinaryOperationsOnEitherSide)
{
    for (int operation : {0, 1, 2, 3, 4, 5, 7, 8})
        for (bool convFirst : {true, false})
            for (bool scalar : {false, true}) {
                if (scalar && (operation == 8 || !convFirst))
                    continue;
                // A sigmoid keeps the convolution away from zero when it is the divisor.
                auto graph = network(3, [&](ModelWriter &m) {
                    m.input("other");
                    m.conv("conv", "data", "c", 5, 11, 3, "9=4");
                    const std::vector<std::string> in = scalar      ? std::vector<std::string>{"c"}
                                                        : convFirst ? std::vector<std::string>{"c", "other"}
                                                                    : std::vector<std::string>{"other", "c"};
                    m.layer("BinaryOp", "op", in, {"output"},
                            "0=" + std::to_string(operation) + (scalar ? " 1=1 2=7.500000e-01" : ""));
                });
                ASSERT_TRUE(graph);
                ncnn::Mat other = randomMat({11, 4, 3}, 4);
                for (int q = 0; q < other.c; ++q) {
                    float *p = other.channel(q);
                    for (int i = 0; i < other.w * other.h; ++i)
                        p[i] += p[i] < 0.f ? -0.5f : 0.5f; // no division by values near zero
                }
                Inputs in = inputOf(*graph, {5, 4, 3}, 3);
                in.emplace_back(graph->find_blob("other"), other);
                // Division by the convolution is left unfused; results must match either way.
                expectMatches(*graph, in, {"output"},
                              "operation " + std::to_string(operation) +
                                  (convFirst ? " conv first" : " conv second") + (scalar ? " scalar" : ""));
            }
}

// An operand produced after the convolution, or a convolution read twice, cannot be folded.
TEST(OnednnFusion, UnfusableOrdersStayCorrect)
{
    auto graph = network(11, [](ModelWriter &m) {
        m.layer("Split", "split_in", {"data"}, {"d0", "d1"});
        m.conv("a", "d0", "a", 6, 9, 3);
        m.conv("b", "d1", "b", 6, 9, 1);
        m.layer("Eltwise", "sum", {"a", "b"}, {"sum"}, "0=1 -23301=2,5.000000e-01,-1.500000e+00");
        m.layer("Split", "split", {"sum"}, {"s0", "s1"});
        m.layer("ReLU", "relu", {"s0"}, {"r"}, "0=1.000000e-01");
        m.layer("Eltwise", "prod", {"r", "s1"}, {"output"}, "0=0");
    });
    ASSERT_TRUE(graph);
    expectMatches(*graph, inputOf(*graph, {6, 5, 7}, 13), {"output", "sum"}, "late operand");
}

namespace {

// RRDBNet's dense block: each of `steps` convolutions reads the concatenation of all earlier features,
// a last convolution folds them back to `feat` channels, and a scaled residual sum closes the block;
// `outerSum` adds a second one, as the group of blocks around it does.
std::shared_ptr<ncnn::Graph> denseBlock(int feat, int growth, int steps, unsigned seed, bool outerSum = false)
{
    return network(seed, [=](ModelWriter &m) {
        m.conv("first", "data", "x", 3, feat, 3);
        std::vector<std::string> features{"x"};
        std::string cat = "x";
        int channels = feat;
        for (int step = 0; step < steps; ++step) {
            const std::string y = "y" + std::to_string(step);
            m.conv("conv" + y, cat, y, channels, growth, 3, "9=2 -23310=1,2.000000e-01");
            features.push_back(y);
            channels += growth;
            cat = "cat" + std::to_string(step);
            m.layer("Concat", cat, features, {cat}, "0=0");
        }
        m.conv("last", cat, "last", channels, feat, 3);
        const char *sum = "0=1 -23301=2,2.000000e-01,1.000000e+00";
        m.layer("Eltwise", "sum", {"last", "x"}, {outerSum ? "inner" : "output"}, sum);
        if (outerSum)
            m.layer("Eltwise", "outer", {"inner", "x"}, {"output"}, sum);
    });
}

} // namespace

// RRDBNet's dense block: every step concatenates all earlier features; aligned channel counts are
// written straight into one buffer, others are copied.
TEST(OnednnConcat, DenseBlockInPlaceAndCopied)
{
    struct Row {
        int feat, growth;
    };
    for (const Row &row : {Row{16, 8}, Row{13, 5}, Row{8, 16}, Row{8, 12}}) {
        auto graph = denseBlock(row.feat, row.growth, 4, 20);
        ASSERT_TRUE(graph);
        const Inputs in = inputOf(*graph, {3, 7, 6}, 22);
        for (Layout layout : kLayouts) {
            const std::string what = "feat " + std::to_string(row.feat) + " in " + layoutName(layout);
            const Result r = expectMatches(*graph, in, {"output"}, what, planOptions(2, true, layout));
            // Channels-last interleaves the channels of a pixel: its concats always copy.
            const int block = layout == Layout::Blocked16 ? 16 : 8;
            if (layout == Layout::Nhwc) {
                EXPECT_EQ(r.inPlace, 0) << what;
            } else if (layout == Layout::Plain || (row.feat % block == 0 && row.growth % block == 0)) {
                EXPECT_EQ(r.inPlace, 4) << what;
            }
        }
    }
}

// Wide enough for Winograd: every 3x3 layer but the first takes it, its activation and both residual
// sums included, in each layout that has its transforms.
TEST(OnednnWinograd, DenseBlockInEveryLayout)
{
    auto graph = denseBlock(40, 24, 2, 50, true);
    ASSERT_TRUE(graph);
    const Inputs in = inputOf(*graph, {3, 13, 11}, 52);
    for (Layout layout : {Layout::Auto, Layout::Nhwc, Layout::Blocked8, Layout::Blocked16}) {
        const std::string what = std::string("in ") + layoutName(layout);
        PlanOptions options = planOptions(2, true, layout, true);
        const Result r = expectMatches(*graph, in, {"output"}, what, options);
        // A planar layout (forced for the gemm tests) has no Winograd transforms.
        const bool planar = (layout == Layout::Auto ? preferredLayout() : layout) == Layout::Plain;
        int winograd = 0;
        for (const std::string &kernel : r.kernels)
            winograd += kernel.rfind("winograd_", 0) == 0;
        EXPECT_EQ(winograd, planar ? 0 : 3) << what;
    }
}

// A bf16 plan keeps in bf16 the blobs whose writer and readers all take it and converts in a step of its
// own where a neighbour runs fp32 (PReLU's loop of our own), channels-last concatenations copy bf16, and
// blocked ones stay views of one bf16 buffer.
TEST(OnednnPlan, Bf16WhereTheLayersTakeIt)
{
    if (!ncnn::cpu_support_bf16())
        GTEST_SKIP() << "no native bf16 products on " << ncnn::cpu_isa_name();
    auto chain = network(70, [](ModelWriter &m) {
        m.conv("a", "data", "ca", 5, 24, 3, "9=2 -23310=1,1.000000e-01");
        m.prelu("p", "ca", "pa", 24);
        m.conv("b", "pa", "output", 24, 7, 3);
    });
    ASSERT_TRUE(chain);
    PlanOptions options = planOptions();
    options.precision = ncnn::Storage::Bf16;
    std::unique_ptr<Plan> plan;
    std::string error;
    const int data = chain->find_blob("data"), output = chain->find_blob("output");
    ASSERT_EQ(Plan::compile(*chain, {{data, Shape{5, 9, 11}}}, {output}, options, plan, error), 0) << error;
    EXPECT_EQ(plan->storageOf(data), ncnn::Storage::Bf16);
    EXPECT_EQ(plan->storageOf(chain->find_blob("ca")), ncnn::Storage::Fp32);
    EXPECT_EQ(plan->storageOf(chain->find_blob("pa")), ncnn::Storage::Fp32);
    EXPECT_EQ(plan->storageOf(output), ncnn::Storage::Bf16);
    EXPECT_EQ(plan->conversionCount(), 1); // PReLU's output into b's bf16 source
    // A forced planar layout runs oneDNN's gemm, whose name does not say its type.
    for (const std::string &kernel : plan->convolutionKernels())
        EXPECT_TRUE(layoutForced() || kernel.find("bf16") != std::string::npos) << kernel;
    const Inputs in = inputOf(*chain, {5, 9, 11}, 71);
    const Result r = runFast(*chain, in, {output}, options);
    ASSERT_EQ(r.outputs.size(), 1u);
    EXPECT_LE(rtest::relativeError(r.outputs[0], runBackend(*chain, in, output)), rtest::kBf16Tolerance);
    // Above 2^-12 the error says bf16 did run.
    EXPECT_GT(rtest::relativeError(r.outputs[0], runBackend(*chain, in, output)), 1.0 / 4096);

    auto block = denseBlock(16, 16, 4, 20);
    ASSERT_TRUE(block);
    const Inputs blockIn = inputOf(*block, {3, 7, 6}, 22);
    for (Layout layout : {Layout::Auto, Layout::Nhwc, Layout::Blocked16}) {
        PlanOptions o = planOptions(2, true, layout);
        o.precision = ncnn::Storage::Bf16;
        const Result d = runFast(*block, blockIn, {block->find_blob("output")}, o);
        ASSERT_EQ(d.outputs.size(), 1u);
        EXPECT_LE(rtest::relativeError(d.outputs[0], runBackend(*block, blockIn, block->find_blob("output"))),
                  rtest::kBf16Tolerance)
            << layoutName(layout);
        if (layout == Layout::Blocked16) {
            EXPECT_EQ(d.inPlace, 4);
        }
    }
}

TEST(OnednnLayers, ResamplingShufflesAndActivations)
{
    struct Row {
        const char *type;
        int channels, h, w;
        const char *params;
    };
    const Row rows[] = {
        {"Interp", 13, 5, 3, "0=1 1=2.000000e+00 2=2.000000e+00"},
        {"Interp", 3, 1, 1, "0=1 1=4.000000e+00 2=4.000000e+00"},
        {"PixelShuffle", 12, 3, 5, "0=2"},
        {"PixelShuffle", 12, 3, 5, "0=2 1=1"},
        {"PixelShuffle", 27, 1, 2, "0=3"},
        {"Reorg", 3, 7, 5, "0=2"},
        {"Reorg", 5, 6, 6, "0=3 1=1"},
        {"PReLU", 13, 5, 5, nullptr},
        {"PReLU", 8, 1, 1, nullptr},
        {"ReLU", 11, 3, 3, "0=2.000000e-01"},
        {"Clip", 11, 3, 3, "0=-2.000000e-01 1=3.000000e-01"},
        {"Sigmoid", 9, 2, 7, ""},
        {"Swish", 9, 2, 7, ""},
        {"Dropout", 5, 3, 4, "0=5.000000e-01"},
    };
    for (const Row &row : rows)
        for (bool afterConv : {false, true}) {
            auto graph = network(50, [&](ModelWriter &m) {
                const std::string src = afterConv ? "c" : "data";
                if (afterConv)
                    m.conv("conv", "data", "c", row.channels, row.channels, 3);
                if (row.params)
                    m.layer(row.type, "op", {src}, {"output"}, row.params);
                else
                    m.prelu("op", src, "output", row.h == 1 ? 1 : row.channels);
            });
            ASSERT_TRUE(graph);
            const Inputs in = inputOf(*graph, {row.channels, row.h, row.w}, 52);
            for (Layout layout : kLayouts)
                expectMatches(*graph, in, {"output"},
                              std::string(row.type) + " " + (row.params ? row.params : "") + " " +
                                  std::to_string(row.channels) + "x" + std::to_string(row.h) + "x" +
                                  std::to_string(row.w) + (afterConv ? " after conv" : ""),
                              planOptions(2, true, layout));
        }
}

TEST(OnednnLayers, EltwiseOfInputs)
{
    for (const char *params : {"0=0", "0=1 -23301=3,5.000000e-01,-2.000000e+00,1.000000e+00", "0=2"}) {
        ModelWriter m(1);
        for (const char *name : {"a", "b", "c"})
            m.input(name);
        m.layer("Eltwise", "op", {"a", "b", "c"}, {"output"}, params);
        auto graph = load(m);
        ASSERT_TRUE(graph);
        const Shape s{13, 3, 5};
        expectMatches(*graph,
                      {{graph->find_blob("a"), randomMat(s, 1)},
                       {graph->find_blob("b"), randomMat(s, 2)},
                       {graph->find_blob("c"), randomMat(s, 3)}},
                      {"output"}, params);
    }
}

TEST(OnednnPlan, ThreadCountsAndLightModeAgree)
{
    auto graph = network(60, [](ModelWriter &m) {
        m.conv("c0", "data", "x0", 3, 24, 3, "9=1");
        for (int i = 1; i < 4; ++i)
            m.conv("c" + std::to_string(i), "x" + std::to_string(i - 1), "x" + std::to_string(i), 24, 24, 3,
                   "9=1");
        m.conv("c4", "x3", "output", 24, 3, 3);
    });
    ASSERT_TRUE(graph);
    const int output = graph->find_blob("output");
    const Inputs in = inputOf(*graph, {3, 17, 13}, 65);
    const Result one = runFast(*graph, in, {output}, planOptions(1));
    for (int threads : {2, 4}) {
        const Result other = runFast(*graph, in, {output}, planOptions(threads));
        EXPECT_LE(relativeError(other.outputs.at(0), one.outputs.at(0)), kFp32Tolerance) << threads;
    }
    const Result heavy = runFast(*graph, in, {output}, planOptions(2, false));
    EXPECT_LE(relativeError(heavy.outputs.at(0), one.outputs.at(0)), kFp32Tolerance);
    // Light mode keeps two feature maps alive, not all five (gemm's scratchpads, in the planar layout, come
    // on top of either).
    EXPECT_LT(one.blobPeak * 2, heavy.blobPeak);
}

namespace {

// Two 3x3 convolutions of `channels` channels with a residual sum: "output" is the result.
std::shared_ptr<ncnn::Graph> convolutionChain(int channels)
{
    return network(60, [channels](ModelWriter &m) {
        m.layer("Split", "split", {"data"}, {"d0", "d1"});
        m.conv("c0", "d0", "a", channels, channels, 3, "9=2 -23310=1,2.000000e-01");
        m.conv("c1", "a", "b", channels, channels, 3, "9=2 -23310=1,2.000000e-01");
        m.layer("Eltwise", "sum", {"b", "d1"}, {"output"}, "0=1");
    });
}

// A pool that takes its blocks from `allocator`.
BufferPool poolOn(FailingAllocator &allocator)
{
    return BufferPool([&allocator](size_t bytes) { return allocator.fastMalloc(bytes); },
                      [&allocator](void *p) { allocator.fastFree(p); });
}

} // namespace

// The regression of plans that went planar where oneDNN wanted channels-last: every 3x3 convolution fell
// to gemm, ten times slower and with a library-owned scratchpad.
TEST(OnednnPlan, NoThreeByThreeConvolutionOnASlowKernel)
{
    auto graph = convolutionChain(64);
    ASSERT_TRUE(graph);
    const std::vector<std::pair<int, Shape>> in{{graph->find_blob("data"), Shape{64, 12, 10}}};
    const std::vector<int> out{graph->find_blob("output")};
    std::string error;
    std::unique_ptr<Plan> plan;
    PlanOptions plain;
    plain.layout = Layout::Plain;
    EXPECT_EQ(Plan::compile(*graph, in, out, plain, plan, error), ncnn::ERROR_UNSUPPORTED_LAYER)
        << "oneDNN runs planar 3x3 convolutions on gemm";
    EXPECT_NE(error.find("3x3 convolution on"), std::string::npos) << error;
    if (layoutForced())
        return;
    ASSERT_EQ(Plan::compile(*graph, in, out, PlanOptions{}, plan, error), 0) << error;
    for (const std::string &kernel : plan->convolutionKernels())
        EXPECT_FALSE(slowConvolutionKernel(kernel.c_str())) << kernel << " in " << layoutName(plan->layout());
}

// oneDNN's scratchpads and Winograd's scratch are the caller's memory: a pool that refuses its n-th block
// fails the run with ERROR_OUT_OF_MEMORY and gets every block back, in each layout (planar ones run gemm,
// which needs the most scratchpad).
TEST(OnednnPlan, ScratchComesFromTheCallersPool)
{
    struct Row {
        int channels;
        Layout layout;
        bool winograd;
    };
    std::vector<Row> rows;
    for (Layout layout : kLayouts)
        rows.push_back({16, layout, false});
    rows.push_back({32, Layout::Auto, true});
    for (const Row &row : rows) {
        auto graph = convolutionChain(row.channels);
        ASSERT_TRUE(graph);
        const Shape shape{row.channels, 9, 11};
        const Inputs in = inputOf(*graph, shape, 62);
        const int output = graph->find_blob("output");
        const ncnn::Mat expected = runBackend(*graph, in, output);
        std::string error;
        std::unique_ptr<Plan> plan;
        ASSERT_EQ(Plan::compile(*graph, {{in[0].first, shape}}, {output},
                                planOptions(2, true, row.layout, row.winograd), plan, error),
                  0)
            << error;
        const std::string what = std::string(layoutName(row.layout)) + (row.winograd ? " winograd" : "");
        if (row.layout == Layout::Plain) {
            EXPECT_GT(plan->scratchpadBytes(), 0u) << "gemm convolutions need a scratchpad";
        }
        if (row.winograd && plan->layout() != Layout::Plain) {
            for (const std::string &kernel : plan->convolutionKernels())
                EXPECT_EQ(kernel.rfind("winograd_", 0), 0u) << kernel;
        }
        ncnn::Mat out(shape.w, shape.h, shape.c);
        bool done = false;
        for (int allowed = 0; allowed < 40 && !done; ++allowed) {
            FailingAllocator allocator(allowed + 1, SIZE_MAX, FailingAllocator::Then::Refuse);
            BufferPool pool = poolOn(allocator);
            const int ret =
                plan->run({{in[0].first, viewOf(in[0].second)}}, {{output, viewOf(out)}}, pool, error);
            EXPECT_EQ(pool.bytesInUse(), 0u);
            done = ret == 0;
            if (done) {
                EXPECT_GE(allocator.largest, plan->scratchpadBytes()) << what;
                EXPECT_LE(relativeError(out, expected), kFp32Tolerance) << what;
            } else {
                EXPECT_EQ(ret, ncnn::ERROR_OUT_OF_MEMORY) << what << ": " << error;
            }
        }
        EXPECT_TRUE(done) << what;
    }
}

// Runs of one plan overlap on several threads, Winograd's scratch included, each with its own pool.
TEST(OnednnWinograd, ConcurrentRuns)
{
    auto graph = convolutionChain(32);
    ASSERT_TRUE(graph);
    const Shape shape{32, 9, 11};
    const Inputs in = inputOf(*graph, shape, 63);
    const int output = graph->find_blob("output");
    const ncnn::Mat expected = runBackend(*graph, in, output);
    std::unique_ptr<Plan> plan;
    std::string error;
    ASSERT_EQ(Plan::compile(*graph, {{in[0].first, shape}}, {output},
                            planOptions(2, true, Layout::Auto, true), plan, error),
              0)
        << error;
    std::vector<ncnn::Mat> outs(3);
    std::vector<int> codes(outs.size(), -1);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < outs.size(); ++i) {
        outs[i].create(shape.w, shape.h, shape.c);
        threads.emplace_back([&, i] {
            BufferPool pool;
            std::string why;
            codes[i] =
                plan->run({{in[0].first, viewOf(in[0].second)}}, {{output, viewOf(outs[i])}}, pool, why);
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (size_t i = 0; i < outs.size(); ++i) {
        EXPECT_EQ(codes[i], 0);
        EXPECT_LE(relativeError(outs[i], expected), kFp32Tolerance) << "thread " << i;
    }
}

// A Winograd layer with fewer chunks of tiles than threads still runs on the plan's whole team: a smaller
// team made OpenMP end the threads it left out and start new ones for the next layer, on every run.
TEST(OnednnWinograd, RunsKeepTheirThreads)
{
    const std::filesystem::path tasks("/proc/self/task");
    if (!std::filesystem::is_directory(tasks))
        GTEST_SKIP() << "no /proc/self/task to list this process's threads";
    const auto threadIds = [&tasks] {
        std::set<std::string> ids;
        for (const auto &entry : std::filesystem::directory_iterator(tasks))
            ids.insert(entry.path().filename().string());
        return ids;
    };
    auto graph = convolutionChain(32);
    ASSERT_TRUE(graph);
    // 20x20 outputs: 25 tiles of F(4,3), two chunks of products for four threads.
    const Shape shape{32, 20, 20};
    const Inputs in = inputOf(*graph, shape, 64);
    const int output = graph->find_blob("output");
    std::unique_ptr<Plan> plan;
    std::string error;
    ASSERT_EQ(Plan::compile(*graph, {{in[0].first, shape}}, {output},
                            planOptions(4, true, Layout::Auto, true), plan, error),
              0)
        << error;
    if (plan->layout() != Layout::Plain) {
        for (const std::string &kernel : plan->convolutionKernels())
            EXPECT_EQ(kernel.rfind("winograd_", 0), 0u) << kernel;
    }
    ncnn::Mat out(shape.w, shape.h, shape.c);
    BufferPool pool;
    ASSERT_EQ(plan->run({{in[0].first, viewOf(in[0].second)}}, {{output, viewOf(out)}}, pool, error), 0)
        << error;
    const std::set<std::string> first = threadIds();
    for (int run = 0; run < 3; ++run)
        ASSERT_EQ(plan->run({{in[0].first, viewOf(in[0].second)}}, {{output, viewOf(out)}}, pool, error), 0)
            << error;
    EXPECT_EQ(threadIds(), first);
    EXPECT_LE(relativeError(out, runBackend(*graph, in, output)), kFp32Tolerance);
}

TEST(OnednnPlan, RejectsWhatItCannotRun)
{
    auto graph = network(1, [](ModelWriter &m) {
        m.conv("conv", "data", "c", 4, 4, 3);
        m.layer("Interp", "bilinear", {"c"}, {"output"}, "0=2 1=2.000000e+00 2=2.000000e+00");
    });
    ASSERT_TRUE(graph);
    const int data = graph->find_blob("data"), c = graph->find_blob("c");
    std::unique_ptr<Plan> plan;
    std::string error;
    // Weights for four channels, an input of five.
    EXPECT_EQ(Plan::compile(*graph, {{data, Shape{5, 4, 4}}}, {c}, PlanOptions{}, plan, error),
              ncnn::ERROR_BAD_INPUT);
    EXPECT_NE(error.find("does not take inputs of 4x4x5"), std::string::npos) << error;
    EXPECT_EQ(Plan::compile(*graph, {{data, Shape{4, 4, 4}}}, {99}, PlanOptions{}, plan, error),
              ncnn::ERROR_BAD_INPUT);
    EXPECT_EQ(Plan::compile(*graph, {}, {c}, PlanOptions{}, plan, error), ncnn::ERROR_BAD_INPUT);
    EXPECT_FALSE(plan);
    // Bilinear resizing has no oneDNN form: its reference layer runs inside the plan.
    EXPECT_EQ(onednnFormOf(*graph->layers.back()), nullptr);
    EXPECT_NE(onednnFormOf(*graph->layers[1]), nullptr);
}

// Tiles of several shapes in turn: each shape compiles once and none borrows another's primitives.
TEST(OnednnPlanCache, ShapesInTurnCompileOnceEach)
{
    const SampleGraph net = makeRrdbNetGraph(1, 16, 8, 3);
    PlanCache cache(*net.graph, 2);
    const Shape shapes[] = {{3, 9, 7}, {3, 5, 11}, {3, 9, 7}, {3, 9, 7}, {3, 5, 11}, {3, 4, 4}, {3, 9, 7}};
    unsigned seed = 70;
    size_t firstWeights = 0;
    for (const Shape &s : shapes) {
        const ncnn::Mat in = randomMat(s, seed++);
        std::string error;
        std::shared_ptr<Plan> plan;
        ASSERT_EQ(cache.get({{net.input, s}}, {net.output}, planOptions(), plan, error), 0) << error;
        if (!firstWeights)
            firstWeights = cache.weightBytes();
        const Shape outShape = plan->shapeOf(net.output);
        ASSERT_EQ(outShape.h, s.h * 4);
        ncnn::Mat out(outShape.w, outShape.h, outShape.c);
        ASSERT_EQ(plan->run({{net.input, viewOf(in)}}, {{net.output, viewOf(out)}}, cache.pool(), error), 0)
            << error;
        EXPECT_LE(relativeError(out, runBackend(*net.graph, {{net.input, in}}, net.output)), kFp32Tolerance)
            << s.h << "x" << s.w;
    }
    // 4x4 evicts 9x7, the least recently used, which then compiles again.
    EXPECT_EQ(cache.compilations(), 4);
    EXPECT_EQ(cache.size(), 2u);
    // Every shape chose the same weight layouts: one reordered copy serves them all.
    EXPECT_GT(firstWeights, 0u);
    EXPECT_EQ(cache.weightBytes(), firstWeights);
}
