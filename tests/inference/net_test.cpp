#include "mat_convert.h"
#include "modelgen.h"
#include "support/runtime/compare.h"
#include "support/runtime/failingAllocator.h"
#include "support/runtime/layers.h"
#include "support/runtime/random.h"

#include <ncnn/gpu.h>
#include <ncnn/net.h>

#include <cmath>
#include <functional>
#include <thread>

using namespace rtest;
using brivelle::modelgen::GraphBuilder;
using brivelle::modelgen::ModelFiles;
using brivelle::modelgen::Storage;

namespace {

std::unique_ptr<ncnn::Net> load(const ModelFiles &m, int threads = 1)
{
    auto net = std::make_unique<ncnn::Net>();
    net->opt.num_threads = threads;
    EXPECT_EQ(net->load_param_mem(m.param.c_str()), 0) << net->last_error();
    EXPECT_EQ(net->load_model_mem(m.bin.data(), m.bin.size()), 0) << net->last_error();
    return net;
}

// data -> conv a (3->5) -> split -> relu r / sigmoid s -> concat output (10 channels).
ModelFiles branching_model()
{
    GraphBuilder g(Storage::Fp32, 3);
    g.input("data");
    g.conv("data", "a", 3, 5, 3);
    g.layer("Split", {"a"}, {"a0", "a1"});
    g.layer("ReLU", {"a0"}, {"r"});
    g.layer("Sigmoid", {"a1"}, {"s"});
    g.layer("Concat", {"r", "s"}, {"output"});
    return g.finish();
}

// A chain of n 3x3 convolutions of c channels.
ModelFiles chain_model(int n, int c)
{
    GraphBuilder g(Storage::Fp32, 5);
    g.input("data");
    std::string cur = "data";
    int in = 3;
    for (int i = 0; i < n; i++) {
        const std::string next = i + 1 == n ? "output" : "x" + std::to_string(i);
        g.conv(cur, next, in, c, 3, 1, -1, 1);
        cur = next;
        in = c;
    }
    return g.finish();
}

ncnn::Mat extract(ncnn::Net &net, const ncnn::Mat &in, const char *blob, bool light = true,
                  int *ret_out = nullptr, ncnn::Allocator *alloc = nullptr)
{
    ncnn::Extractor ex = net.create_extractor();
    ex.set_light_mode(light);
    if (alloc) {
        ex.set_blob_allocator(alloc);
        ex.set_workspace_allocator(alloc);
    }
    EXPECT_EQ(ex.input("data", in), 0);
    ncnn::Mat out;
    const int ret = ex.extract(blob, out);
    if (ret_out)
        *ret_out = ret;
    else
        EXPECT_EQ(ret, 0) << ex.last_error();
    return out;
}

} // namespace

TEST(Net, ExtractsAnyBlobAndMatchesLayerByLayer)
{
    auto net = load(branching_model());
    const ncnn::Mat in = randomMat(7, 4, 3, 8);
    const ncnn::Mat a = extract(*net, in, "a");
    ASSERT_EQ(a.c, 5);
    const ncnn::Mat r = extract(*net, in, "r");
    const ncnn::Mat out = extract(*net, in, "output");
    ASSERT_EQ(out.c, 10);
    for (int q = 0; q < 5; q++)
        for (int i = 0; i < 7 * 4; i++) {
            const float v = static_cast<const float *>(a.channel(q).data)[i];
            EXPECT_EQ(static_cast<const float *>(out.channel(q).data)[i], std::max(v, 0.f));
            EXPECT_NEAR(static_cast<const float *>(out.channel(q + 5).data)[i], 1 / (1 + std::exp(-v)),
                        1e-6f);
            EXPECT_EQ(static_cast<const float *>(r.channel(q).data)[i], std::max(v, 0.f));
        }
    // The input is never written, even by in-place layers behind a split.
    EXPECT_TRUE(matsNear(in, randomMat(7, 4, 3, 8), 0));
    ncnn::Mat none;
    ncnn::Extractor ex = net->create_extractor();
    EXPECT_EQ(ex.extract("output", none), ncnn::ERROR_BAD_INPUT) << "input not set";
    EXPECT_EQ(ex.extract("no-such-blob", none), ncnn::ERROR_FAILED);
    EXPECT_EQ(ex.input("no-such-blob", in), ncnn::ERROR_FAILED);
    EXPECT_EQ(ex.input("data", ncnn::Mat()), ncnn::ERROR_BAD_INPUT);
}

TEST(Net, OneExtractorServesSeveralExtracts)
{
    auto net = load(branching_model());
    const ncnn::Mat in = randomMat(5, 5, 3, 1);
    ncnn::Extractor ex = net->create_extractor();
    ex.set_light_mode(false);
    ex.input("data", in);
    ncnn::Mat a, out, out2;
    ASSERT_EQ(ex.extract("a", a), 0);
    ASSERT_EQ(ex.extract("output", out), 0);
    ASSERT_EQ(ex.extract("output", out2), 0);
    EXPECT_EQ(out.data, out2.data) << "non-light mode keeps results";
    // The kept "a" sends the second extract down another path: equal within the bound, not bit for bit.
    EXPECT_TRUE(matsNear(out, extract(*net, in, "output")));
}

TEST(Net, LightModePeakFollowsTheLiveSetNotTheDepth)
{
    const int depth = 12, channels = 8, side = 32;
    auto net = load(chain_model(depth, channels));
    auto shallow = load(chain_model(depth / 2, channels));
    const ncnn::Mat in = randomMat(side, side, 3, 2);
    const size_t blob_bytes = static_cast<size_t>(side) * side * channels * 4;
    FailingAllocator light(0), lightShallow(0), heavy(0);
    const ncnn::Mat a = extract(*net, in, "output", true, nullptr, &light);
    extract(*shallow, in, "output", true, nullptr, &lightShallow);
    const ncnn::Mat b = extract(*net, in, "output", false, nullptr, &heavy);
    EXPECT_TRUE(matsNear(a, b));
    // Scratchpads (large for the planar layout's gemm kernels) come on top, the same at any depth.
    EXPECT_EQ(light.peak, lightShallow.peak) << "light mode";
    EXPECT_GE(heavy.peak, (depth - 1) * blob_bytes) << "without light mode every blob stays";
}

TEST(Net, ThreadCountDoesNotChangeResults)
{
    const ModelFiles m = chain_model(3, 7);
    const ncnn::Mat in = randomMat(9, 11, 3, 4);
    const ncnn::Mat one = extract(*load(m, 1), in, "output");
    const ncnn::Mat two = extract(*load(m, 2), in, "output");
    EXPECT_TRUE(matsNear(one, two));
}

TEST(Net, EveryFailedAllocationIsAnErrorNeverACrash)
{
    auto net = load(branching_model());
    const ncnn::Mat in = randomMat(6, 6, 3, 3);
    const ncnn::Mat want = extract(*net, in, "output");
    bool succeeded = false;
    for (int n = 1; n < 40 && !succeeded; n++) {
        FailingAllocator alloc(n);
        int ret = 0;
        ncnn::Mat out = extract(*net, in, "output", true, &ret, &alloc);
        if (ret == 0) {
            succeeded = true;
            EXPECT_TRUE(matsNear(out, want)) << "n=" << n;
        } else {
            EXPECT_EQ(ret, ncnn::ERROR_OUT_OF_MEMORY) << "n=" << n;
            EXPECT_TRUE(out.empty()) << "n=" << n;
        }
    }
    EXPECT_TRUE(succeeded) << "a late failure point must let the run finish";
    // A byte cap below one blob fails the same way, and the message says so.
    FailingAllocator cap(0, 64);
    ncnn::Extractor ex = net->create_extractor();
    ex.set_blob_allocator(&cap);
    ex.set_workspace_allocator(&cap);
    ex.input("data", in);
    ncnn::Mat out;
    EXPECT_EQ(ex.extract("output", out), ncnn::ERROR_OUT_OF_MEMORY) << ex.last_error();
}

TEST(Net, ReloadClearAndCpuFallbackWithoutDevice)
{
    ncnn::Net net;
    net.opt.use_vulkan_compute = true;
    net.opt.num_threads = 2;
    net.set_vulkan_device(0);
    if (ncnn::get_gpu_count() == 0) {
        EXPECT_EQ(net.vulkan_device(), nullptr);
    }
    const ModelFiles a = chain_model(1, 4), b = branching_model();
    ASSERT_EQ(net.load_param_mem(a.param.c_str()), 0);
    ASSERT_EQ(net.load_model_mem(a.bin.data(), a.bin.size()), 0);
    EXPECT_EQ(extract(net, randomMat(4, 4, 3, 1), "output").c, 4);
    // Loading again replaces the network, as the app does before each batch.
    ASSERT_EQ(net.load_param_mem(b.param.c_str()), 0);
    ASSERT_EQ(net.load_model_mem(b.bin.data(), b.bin.size()), 0);
    EXPECT_EQ(extract(net, randomMat(4, 4, 3, 1), "output").c, 10);
    net.clear();
    ncnn::Extractor ex = net.create_extractor();
    ncnn::Mat out;
    EXPECT_NE(ex.extract("output", out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(Net, GeneratedRealEsrganShapes)
{
    struct Case {
        const char *name;
        ModelFiles files;
        int factor;
    };
    brivelle::modelgen::RrdbConfig x4{1, 8, 4, 4}, x2{1, 8, 4, 2};
    brivelle::modelgen::SrvggConfig vgg{2, 8, 4};
    Case cases[] = {{"rrdb x4", brivelle::modelgen::rrdbnet(x4, Storage::Fp16, 1), 4},
                    {"rrdb x2", brivelle::modelgen::rrdbnet(x2, Storage::Fp32, 1), 2},
                    {"srvgg x4", brivelle::modelgen::srvgg(vgg, Storage::Fp32, 1), 4}};
    for (const Case &c : cases) {
        auto net = load(c.files, 2);
        // The x2 network unshuffles by 2, so its sides must be even.
        for (int side : {2, 4, 6}) {
            const ncnn::Mat out = extract(*net, randomMat(side, side + 2, 3, 5), "output");
            EXPECT_EQ(out.w, side * c.factor) << c.name;
            EXPECT_EQ(out.h, (side + 2) * c.factor) << c.name;
            EXPECT_EQ(out.c, 3) << c.name;
        }
    }
}

TEST(Net, GeneratedX4MatchesThePublishedModelsSize)
{
    const ModelFiles m = brivelle::modelgen::rrdbnet(brivelle::modelgen::RrdbConfig(), Storage::Fp16, 1);
    EXPECT_EQ(m.bin.size(), 33424520u);
    EXPECT_EQ(m.param.substr(0, 17), "7767517\n999 1782\n");
}

TEST(Net, RealX4FastUpscalesATinyImagePlausibly)
{
    const std::string dir = sharedModelsDir();
    if (dir.empty())
        GTEST_SKIP() << "../shared/models is absent";
    ncnn::Net net;
    net.opt.num_threads = 2;
    net.opt.use_vulkan_compute = false;
    ASSERT_EQ(net.load_param((dir + "/realesrgan-x4fast.param").c_str()), 0) << net.last_error();
    ASSERT_EQ(net.load_model((dir + "/realesrgan-x4fast.bin").c_str()), 0) << net.last_error();
    // A smooth colour gradient, as the app feeds it: 8-bit RGB scaled to 0..1.
    const int w = 12, h = 8;
    std::vector<unsigned char> px(w * h * 3);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            px[(y * w + x) * 3 + 0] = static_cast<unsigned char>(40 + x * 15);
            px[(y * w + x) * 3 + 1] = static_cast<unsigned char>(60 + y * 20);
            px[(y * w + x) * 3 + 2] = 128;
        }
    ncnn::Mat in = ncnn::Mat::from_pixels(px.data(), ncnn::Mat::PIXEL_RGB, w, h);
    const float norm[3] = {1 / 255.f, 1 / 255.f, 1 / 255.f};
    in.substract_mean_normalize(nullptr, norm);
    ncnn::Extractor ex = net.create_extractor();
    ex.set_light_mode(true);
    ex.input("data", in);
    ncnn::Mat out;
    ASSERT_EQ(ex.extract("output", out), 0) << ex.last_error();
    ASSERT_EQ(out.w, w * 4);
    ASSERT_EQ(out.h, h * 4);
    ASSERT_EQ(out.c, 3);
    // The upscaled image keeps the colours: each output pixel is near its source pixel.
    double err = 0;
    for (int q = 0; q < 3; q++)
        for (int y = 0; y < out.h; y++)
            for (int x = 0; x < out.w; x++)
                err += std::fabs(valueAt(out, q, y, x) - valueAt(in, q, y / 4, x / 4));
    err /= 3.0 * out.w * out.h;
    EXPECT_LT(err, 0.08) << "mean absolute difference from nearest upscaling";
}

TEST(MatConvert, PackedAndHalfBlobsUnpackToPlanarFp32)
{
    // 8 channels packed by 4: channel k of the packed Mat holds channels 4k..4k+3 interleaved.
    ncnn::Mat packed;
    packed.create(3, 2, 2, 16u, 4, nullptr);
    ASSERT_FALSE(packed.empty());
    for (int k = 0; k < 2; k++)
        for (int i = 0; i < 6; i++)
            for (int l = 0; l < 4; l++)
                static_cast<float *>(packed.data)[packed.cstep * 4 * k + i * 4 + l] =
                    static_cast<float>((k * 4 + l) * 100 + i);
    ncnn::Mat out;
    ASSERT_EQ(ncnn::convert_to_fp32_unpacked(packed, out, nullptr), 0);
    ASSERT_EQ(out.c, 8);
    ASSERT_EQ(out.elempack, 1);
    for (int q = 0; q < 8; q++)
        for (int i = 0; i < 6; i++)
            EXPECT_EQ(static_cast<const float *>(out.channel(q).data)[i], static_cast<float>(q * 100 + i));
    ncnn::Mat half;
    half.create(2, 1, 1, 2u, 1, nullptr);
    static_cast<uint16_t *>(half.data)[0] = 0x3c00;
    static_cast<uint16_t *>(half.data)[1] = 0xc000;
    ASSERT_EQ(ncnn::convert_to_fp32_unpacked(half, out, nullptr), 0);
    EXPECT_EQ(out[0], 1.f);
    EXPECT_EQ(out[1], -2.f);
}

TEST(Net, OneNetServesExtractorsOnSeveralThreads)
{
    auto net = load(chain_model(2, 6), 1);
    const ncnn::Mat in = randomMat(9, 7, 3, 6);
    const ncnn::Mat want = extract(*net, in, "output");
    ncnn::Mat got[3];
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; i++)
        threads.emplace_back([&, i] {
            ncnn::Extractor ex = net->create_extractor();
            ex.input("data", in);
            ex.extract("output", got[i]);
        });
    for (std::thread &t : threads)
        t.join();
    for (const ncnn::Mat &g : got)
        EXPECT_TRUE(matsNear(g, want));
}

TEST(Net, StopRequestEndsTheExtractAndLeavesTheExtractorUsable)
{
    auto net = load(chain_model(3, 8));
    std::atomic<bool> stop{true};
    ncnn::Extractor ex = net->create_extractor();
    ex.set_stop_request(&stop);
    ASSERT_EQ(ex.input("data", randomMat(9, 7, 3, 2)), 0);
    ncnn::Mat out;
    EXPECT_EQ(ex.extract("output", out), ncnn::ERROR_CANCELLED);
    EXPECT_TRUE(out.empty());
    stop = false;
    EXPECT_EQ(ex.extract("output", out), 0) << ex.last_error();
    EXPECT_EQ(out.c, 8);
}

// Progress comes after every layer, in order, and ends with all of them done.
TEST(Net, ProgressFollowsTheLayers)
{
    auto net = load(chain_model(3, 8));
    std::vector<std::pair<int, int>> reports;
    const std::function<void(int, int)> progress = [&reports](int done, int total) {
        reports.emplace_back(done, total);
    };
    ncnn::Extractor ex = net->create_extractor();
    ex.set_progress(&progress);
    ASSERT_EQ(ex.input("data", randomMat(9, 7, 3, 2)), 0);
    ncnn::Mat out;
    ASSERT_EQ(ex.extract("output", out), 0) << ex.last_error();
    ASSERT_GE(reports.size(), 2u);
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].second, reports.back().second);
        EXPECT_EQ(reports[i].first, int(i) + 1);
    }
    EXPECT_EQ(reports.back().first, reports.back().second);
}
