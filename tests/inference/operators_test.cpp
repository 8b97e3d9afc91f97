// Every operator on every backend built in, against its reference layer: one table of small networks (odd
// channel counts, sizes that fit no block, seeded weights), each row run through oneDNN (ctest repeats it
// under each ISA cap) and Vulkan (lavapipe in CI). A row names the backends that must run each of its layers
// themselves, with no layer left to the reference between them.
#include "support/runtime/compare.h"
#include "support/runtime/gpu.h"
#include "support/runtime/models.h"
#include "support/runtime/random.h"

#include "backend.h"
#include "graph.h"

#include <ncnn/cpu.h>
#include <ncnn/gpu.h>

#include <algorithm>
#include <atomic>
#include <functional>

namespace {

using rtest::ModelWriter;

enum Native { kNone = 0, kCpu = 1, kGpu = 2, kBoth = 3 };

struct OperatorCase {
    const char *name;
    ModelWriter model;
    int w, h, c;
    int native;
};

std::vector<OperatorCase> operatorCases()
{
    std::vector<OperatorCase> cases;
    auto add = [&](const char *name, int w, int h, int c, int native,
                   const std::function<void(ModelWriter &)> &body) {
        ModelWriter m(42);
        m.input("data");
        body(m);
        cases.push_back({name, m, w, h, c, native});
    };
    add("conv_leaky", 13, 7, 5, kBoth,
        [](ModelWriter &m) { m.conv("c", "data", "output", 5, 33, 3, "9=2 -23310=1,1.000000e-01"); });
    add("conv_dilated_pad_value", 12, 10, 4, kGpu, [](ModelWriter &m) {
        m.convWithParams("c", "data", "output", 4 * 7 * 9, 7, true,
                         "0=7 1=3 2=2 4=1 14=2 15=3 16=0 18=5.000000e-01 5=1 6=252 9=3 "
                         "-23310=2,-1.000000e-01,2.000000e-01");
    });
    add("conv_1x1_relu", 9, 5, 70, kBoth,
        [](ModelWriter &m) { m.conv("c", "data", "output", 70, 9, 1, "9=1"); });
    add("conv_stride2_same", 11, 6, 3, kBoth, [](ModelWriter &m) {
        m.convWithParams("c", "data", "output", 108, 4, false, "0=4 1=3 3=2 4=-233 5=0 6=108");
    });
    add("conv_residual_eltwise", 10, 9, 6, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b"});
        m.conv("c", "a", "ca", 6, 6, 3);
        m.layer("Eltwise", "e", {"ca", "b"}, {"output"}, "0=1 -23301=2,2.000000e-01,1.000000e+00");
    });
    add("conv_residual_binaryop", 10, 9, 6, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b"});
        m.conv("c", "a", "ca", 6, 6, 3);
        m.layer("BinaryOp", "add", {"b", "ca"}, {"output"}, "0=0");
    });
    add("eltwise_prod_max", 7, 5, 3, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c", "d"});
        m.layer("Eltwise", "p", {"a", "b"}, {"p"}, "0=0");
        m.layer("Eltwise", "x", {"p", "c", "d"}, {"output"}, "0=2");
    });
    add("eltwise_sum_three", 7, 5, 3, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c"});
        m.layer("Eltwise", "e", {"a", "b", "c"}, {"output"},
                "0=1 -23301=3,5.000000e-01,-2.000000e+00,3.000000e+00");
    });
    add("binaryop_sub_mul_rsub", 6, 5, 5, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c", "d"});
        m.conv("c", "a", "ca", 5, 5, 3);
        m.layer("BinaryOp", "sub", {"ca", "b"}, {"sub"}, "0=1");
        m.layer("BinaryOp", "mul", {"sub", "c"}, {"mul"}, "0=2");
        m.layer("BinaryOp", "rsub", {"mul", "d"}, {"output"}, "0=7");
    });
    add("binaryop_scalar", 6, 5, 4, kBoth, [](ModelWriter &m) {
        m.layer("BinaryOp", "b", {"data"}, {"b"}, "0=2 1=1 2=-1.500000e+00");
        m.layer("BinaryOp", "c", {"b"}, {"output"}, "0=0 1=1 2=2.500000e-01");
    });
    add("binaryop_div_max_min_rdiv", 6, 5, 5, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c", "d", "e"});
        m.layer("Sigmoid", "pos", {"a"}, {"pos"});
        m.layer("BinaryOp", "div", {"b", "pos"}, {"div"}, "0=3");
        m.layer("BinaryOp", "max", {"div", "c"}, {"max"}, "0=4");
        m.layer("BinaryOp", "min", {"max", "d"}, {"min"}, "0=5");
        m.layer("Sigmoid", "pos2", {"min"}, {"pos2"});
        m.layer("BinaryOp", "rdiv", {"pos2", "e"}, {"output"}, "0=8");
    });
    // A column and a row spread over the blob: the GPU broadcasts, oneDNN leaves it to the reference layer.
    add("binaryop_broadcast_column_row", 7, 5, 3, kGpu, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c"});
        m.layer("Crop", "col", {"a"}, {"col"}, "3=1");
        m.layer("Crop", "row", {"b"}, {"row"}, "4=1");
        m.layer("BinaryOp", "add", {"c", "col"}, {"add"}, "0=0");
        m.layer("BinaryOp", "mul", {"row", "add"}, {"output"}, "0=2");
    });
    // Global pooling runs on its reference layer on every backend, and oneDNN leaves the broadcast to it too.
    add("binaryop_broadcast", 6, 5, 4, kNone, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b"});
        m.layer("Pooling", "g", {"a"}, {"g"}, "0=1 4=1");
        m.layer("BinaryOp", "b", {"b", "g"}, {"output"}, "0=2");
    });
    add("relu_leaky_clip_dropout", 7, 5, 5, kBoth, [](ModelWriter &m) {
        m.layer("ReLU", "r", {"data"}, {"r"}, "0=1.000000e-01");
        m.layer("Clip", "c", {"r"}, {"c"}, "0=-2.000000e-01 1=3.000000e-01");
        m.layer("Dropout", "d", {"c"}, {"output"}, "0=5.000000e-01");
    });
    // A Dropout of scale 1 is an alias on every backend: the sum reading it and a convolution folds it in.
    add("dropout_alias_residual", 7, 5, 4, kBoth, [](ModelWriter &m) {
        m.conv("c1", "data", "c1", 4, 4, 3);
        m.layer("Dropout", "d", {"c1"}, {"d"});
        m.layer("Split", "s", {"d"}, {"da", "db"});
        m.conv("c2", "da", "c2", 4, 4, 3);
        m.layer("BinaryOp", "add", {"c2", "db"}, {"output"}, "0=0");
    });
    add("relu_after_conv", 7, 5, 5, kBoth, [](ModelWriter &m) {
        m.conv("c", "data", "c", 5, 6, 3);
        m.layer("ReLU", "r", {"c"}, {"output"});
    });
    add("sigmoid_swish", 9, 3, 6, kBoth, [](ModelWriter &m) {
        m.layer("Sigmoid", "s", {"data"}, {"s"});
        m.layer("Swish", "w", {"s"}, {"output"});
    });
    // Convolution, Swish, convolution, Sigmoid, times the Swish output, convolution, plus the input.
    add("attention_block", 11, 7, 6, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s0", {"data"}, {"x", "skip"});
        m.conv("c1", "x", "c1", 6, 6, 3);
        m.layer("Swish", "swish", {"c1"}, {"sw"});
        m.layer("Split", "s1", {"sw"}, {"sw_a", "sw_b"});
        m.conv("c2", "sw_a", "c2", 6, 6, 3);
        m.layer("Sigmoid", "gate", {"c2"}, {"gate"});
        m.layer("BinaryOp", "mul", {"gate", "sw_b"}, {"mul"}, "0=2");
        m.conv("c3", "mul", "c3", 6, 6, 3);
        m.layer("BinaryOp", "add", {"c3", "skip"}, {"output"}, "0=0");
    });
    add("concat_channels", 6, 5, 3, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c"});
        m.conv("c", "c", "cc", 3, 5, 3);
        m.layer("Concat", "cat", {"a", "cc", "b"}, {"output"}, "0=0");
    });
    add("concat_rows_cols", 6, 5, 3, kGpu, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c", "d"});
        m.layer("Concat", "rows", {"a", "b"}, {"rows"}, "0=1");
        m.layer("Concat", "cols", {"c", "d"}, {"cols"}, "0=-1");
        m.layer("Concat", "both", {"rows"}, {"output"}, "0=0");
        m.layer("Noop", "sink", {"cols"}, {"unused"});
    });
    add("interp_nearest", 5, 3, 2, kBoth, [](ModelWriter &m) {
        m.layer("Interp", "i", {"data"}, {"output"}, "0=1 1=3.000000e+00 2=2.000000e+00");
    });
    add("interp_bilinear_size", 5, 3, 2, kGpu,
        [](ModelWriter &m) { m.layer("Interp", "i", {"data"}, {"output"}, "0=2 3=7 4=11"); });
    add("interp_bilinear_down", 7, 5, 5, kGpu,
        [](ModelWriter &m) { m.layer("Interp", "i", {"data"}, {"output"}, "0=2 3=2 4=3"); });
    add("interp_bilinear_align", 5, 4, 2, kGpu, [](ModelWriter &m) {
        m.layer("Interp", "i", {"data"}, {"output"}, "0=2 1=2.000000e+00 2=2.000000e+00 6=1");
    });
    add("pixelshuffle_modes", 5, 3, 8, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b"});
        m.layer("PixelShuffle", "p0", {"a"}, {"p0"}, "0=2");
        m.layer("PixelShuffle", "p1", {"b"}, {"p1"}, "0=2 1=1");
        m.layer("Concat", "cat", {"p0", "p1"}, {"output"}, "0=0");
    });
    add("reorg_modes", 6, 4, 3, kBoth, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b"});
        m.layer("Reorg", "r0", {"a"}, {"r0"}, "0=2");
        m.layer("Reorg", "r1", {"b"}, {"r1"}, "0=2 1=1");
        m.layer("Concat", "cat", {"r0", "r1"}, {"output"}, "0=0");
    });
    add("pixelshuffle_reorg_3", 5, 3, 18, kBoth, [](ModelWriter &m) {
        m.layer("PixelShuffle", "up", {"data"}, {"up"}, "0=3 1=1");
        m.layer("Reorg", "down", {"up"}, {"output"}, "0=3");
    });
    add("padding_constant_replicate_reflect", 7, 5, 3, kGpu, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b", "c"});
        m.layer("Padding", "p0", {"a"}, {"p0"}, "0=1 1=2 2=3 3=0 4=0 5=7.500000e-01 7=1 8=2");
        m.layer("Padding", "p1", {"b"}, {"p1"}, "0=2 1=1 2=0 3=3 4=1 7=1 8=2");
        m.layer("Padding", "p2", {"c"}, {"p2"}, "0=2 1=1 2=2 3=1 4=2 7=1 8=2");
        m.layer("Concat", "cat", {"p0", "p1", "p2"}, {"output"}, "0=0");
    });
    add("crop_offsets_and_ranges", 9, 8, 6, kGpu, [](ModelWriter &m) {
        m.layer("Split", "s", {"data"}, {"a", "b"});
        m.layer("Crop", "c0", {"a"}, {"c0"}, "0=2 1=1 2=1 3=5 4=4 5=3");
        m.layer("Crop", "c1", {"b"}, {"c1"}, "-23309=2,1,-6 -23310=2,4,-1 -23311=2,0,2");
        m.layer("Noop", "sink", {"c1"}, {"unused"});
        m.layer("Crop", "c2", {"c0"}, {"output"}, "0=1 6=1 7=1");
    });
    // The 2x2 average ends the x2 model; max pooling rounds its output size up.
    add("pooling_max_ceil_then_average", 11, 8, 5, kBoth, [](ModelWriter &m) {
        m.layer("Pooling", "max", {"data"}, {"max"}, "0=0 1=3 2=2 3=1");
        m.layer("Pooling", "avg", {"max"}, {"output"}, "0=1 1=2 2=2");
    });
    add("pooling_average_counting_padding", 9, 7, 3, kGpu, [](ModelWriter &m) {
        m.layer("Pooling", "pad", {"data"}, {"pad"}, "0=1 1=3 2=2 3=1 6=1");
        m.layer("Pooling", "same", {"pad"}, {"output"}, "0=1 1=3 2=1 5=2");
    });
    add("prelu_per_channel_and_shared", 7, 3, 5, kBoth, [](ModelWriter &m) {
        m.prelu("p", "data", "p", 5);
        m.prelu("q", "p", "output", 1);
    });
    return cases;
}

std::unique_ptr<ncnn::Graph> load(const ModelWriter &model)
{
    auto graph = std::make_unique<ncnn::Graph>();
    const std::string param = model.param();
    std::string err;
    if (ncnn::parse_param(param.data(), param.size(), *graph, err) != 0 ||
        ncnn::load_weights(model.bin().data(), model.bin().size(), *graph, err) != 0) {
        ADD_FAILURE() << err << "\n" << param;
        return nullptr;
    }
    ncnn::Option opt;
    for (auto &layer : graph->layers)
        layer->create_pipeline(opt);
    return graph;
}

// A backend by name with what it needs to run: a Vulkan device for "vulkan". Skips the test when the backend
// is not built in or has no device here.
class BackendTest : public ::testing::Test {
protected:
    void open(const std::string &name)
    {
        backend = ncnn::find_backend(name);
        if (!backend)
            GTEST_SKIP() << name << " is not built in";
        opt.num_threads = 2;
        opt.lightmode = true;
        if (name != "vulkan")
            return;
        rtest::selectTestDriver();
        ncnn::create_gpu_instance();
        gpu = true;
        if (ncnn::get_gpu_count() == 0)
            GTEST_SKIP() << "no Vulkan device (install mesa-vulkan-drivers for lavapipe)";
        device = ncnn::get_gpu_device(ncnn::get_default_gpu_index());
        opt.use_vulkan_compute = true;
    }
    void TearDown() override
    {
        if (gpu)
            ncnn::destroy_gpu_instance();
    }
    int run(ncnn::ExecutionPlan &plan, const ncnn::Graph &graph, const ncnn::Mat &in, ncnn::Mat &out,
            std::string &err)
    {
        std::vector<ncnn::Mat> blobs(graph.blobs.size());
        blobs[size_t(graph.find_blob("data"))] = in;
        const int output = graph.find_blob("output");
        const int ret = plan.run(blobs, output, opt, err);
        out = blobs[size_t(output)];
        return ret;
    }

    const ncnn::Backend *backend = nullptr;
    const ncnn::VulkanDevice *device = nullptr;
    ncnn::Option opt;
    bool gpu = false;
};

// A backend with one of the precisions it offers.
struct BackendPrecision {
    const char *backend;
    const char *precision;
};

class OperatorOnBackend : public BackendTest,
                          public ::testing::WithParamInterface<std::tuple<BackendPrecision, size_t>> {};

TEST_P(OperatorOnBackend, MatchesTheReference)
{
    const std::string name = std::get<0>(GetParam()).backend;
    const bool bf16 = std::string(std::get<0>(GetParam()).precision) == "bf16";
    const OperatorCase c = operatorCases()[std::get<1>(GetParam())];
    open(name);
    if (IsSkipped())
        return;
    if (bf16 && !ncnn::cpu_support_bf16())
        GTEST_SKIP() << "no native bf16 products on " << ncnn::cpu_isa_name();
    opt.use_bf16_storage = bf16;
    auto graph = load(c.model);
    ASSERT_TRUE(graph);
    SCOPED_TRACE(c.name + std::string(" on ") + name + ", input " + std::to_string(c.w) + "x" +
                 std::to_string(c.h) + "x" + std::to_string(c.c) + "\n" + c.model.param());
    const bool native = (c.native & (name == "vulkan" ? kGpu : kCpu)) != 0;
    if (native) {
        for (const auto &layer : graph->layers) {
            std::string why;
            EXPECT_TRUE(backend->supports(*layer, {}, ncnn::Shape{}, why))
                << layer->name << " (" << layer->type << ") falls back: " << why;
        }
    }

    std::string err;
    auto reference = ncnn::reference_backend().compile(*graph, opt, nullptr, err);
    auto plan = backend->compile(*graph, opt, device, err);
    ASSERT_TRUE(reference && plan) << err;
    const ncnn::Mat in = rtest::randomMat(c.w, c.h, c.c, 5);
    ncnn::Mat want, got;
    ASSERT_EQ(run(*reference, *graph, in, want, err), 0) << err;
    ASSERT_EQ(run(*plan, *graph, in, got, err), 0) << err;
    ASSERT_EQ(got.w, want.w);
    ASSERT_EQ(got.h, want.h);
    ASSERT_EQ(got.c, want.c);
    EXPECT_LE(rtest::relativeError(got, want), bf16 ? rtest::kBf16Tolerance : rtest::kFp32Tolerance);
}

INSTANTIATE_TEST_SUITE_P(Table, OperatorOnBackend,
                         ::testing::Combine(::testing::Values(BackendPrecision{"onednn", "fp32"},
                                                              BackendPrecision{"onednn", "bf16"},
                                                              BackendPrecision{"vulkan", "fp32"}),
                                            ::testing::Range<size_t>(0, operatorCases().size())),
                         [](const ::testing::TestParamInfo<OperatorOnBackend::ParamType> &i) {
                             const BackendPrecision &b = std::get<0>(i.param);
                             // fp32 rows keep the names they had before there were precisions.
                             return std::string(b.backend) +
                                    (std::string(b.precision) == "fp32" ? ""
                                                                        : "_" + std::string(b.precision)) +
                                    "_" + operatorCases()[std::get<1>(i.param)].name;
                         });

class EveryBackend : public BackendTest, public ::testing::WithParamInterface<std::string> {};

// A stop request seen before the first layer: no result, the cancelled code, on every backend.
TEST_P(EveryBackend, StopsOnRequest)
{
    open(GetParam());
    if (IsSkipped())
        return;
    const std::vector<OperatorCase> cases = operatorCases();
    const auto attention = std::find_if(cases.begin(), cases.end(), [](const OperatorCase &c) {
        return std::string(c.name) == "attention_block";
    });
    ASSERT_NE(attention, cases.end());
    const OperatorCase &c = *attention;
    auto graph = load(c.model);
    ASSERT_TRUE(graph);
    std::atomic<bool> stop{true};
    opt.stop_request = &stop;
    std::string err;
    auto plan = backend->compile(*graph, opt, device, err);
    ASSERT_TRUE(plan) << err;
    ncnn::Mat out;
    EXPECT_EQ(run(*plan, *graph, rtest::randomMat(c.w, c.h, c.c, 4), out, err), ncnn::ERROR_CANCELLED);
    EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, EveryBackend, ::testing::Values("reference", "onednn", "vulkan"),
                         [](const ::testing::TestParamInfo<std::string> &i) { return i.param; });

} // namespace
