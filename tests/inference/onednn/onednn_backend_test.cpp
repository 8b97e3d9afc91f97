// The oneDNN backend against the reference backend on models loaded from ncnn text, and through Net.
// Error metric: max |onednn - reference| / max |reference| (normalised), bound 1e-4.

#include "model_text.h"
#include "naive_graph.h"

#include "backend.h"
#include "cpu/onednn/bench/sample_graphs.h"
#include "cpu/onednn/onednn_backend.h"
#include "cpu/onednn/onednn_plan.h"
#include "graph.h"
#include "modelgen.h"

#include <ncnn/allocator.h>
#include <ncnn/net.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace brivelle::onednn;
using namespace brivelle::onednn::testing;

namespace {

constexpr double kBound = 1e-4;

std::unique_ptr<ncnn::Graph> loadGraph(const ModelFiles &files)
{
    auto graph = std::make_unique<ncnn::Graph>();
    std::string err;
    if (ncnn::parse_param(files.param.data(), files.param.size(), *graph, err) != 0) {
        ADD_FAILURE() << "param: " << err << "\n" << files.param.substr(0, 400);
        return nullptr;
    }
    if (ncnn::load_weights(files.bin.data(), files.bin.size(), *graph, err) != 0) {
        ADD_FAILURE() << "bin: " << err;
        return nullptr;
    }
    ncnn::Option opt;
    for (auto &layer : graph->layers)
        layer->create_pipeline(opt);
    return graph;
}

ncnn::Mat toMat(const Planar &p)
{
    ncnn::Mat m(p.shape.w, p.shape.h, p.shape.c);
    for (int c = 0; c < p.shape.c; ++c)
        std::copy_n(p.data.begin() + static_cast<size_t>(c) * p.shape.h * p.shape.w, p.shape.h * p.shape.w,
                    static_cast<float *>(m.channel(c).data));
    return m;
}

std::vector<float> toVector(const ncnn::Mat &m)
{
    std::vector<float> v;
    for (int c = 0; c < m.c; ++c) {
        const float *p = m.channel(c);
        v.insert(v.end(), p, p + static_cast<size_t>(m.w) * m.h);
    }
    return v;
}

ncnn::Mat runPlan(ncnn::ExecutionPlan &plan, const ncnn::Graph &graph, int input, const ncnn::Mat &in,
                  int output, const ncnn::Option &opt, int *ret = nullptr, std::string *error = nullptr)
{
    std::vector<ncnn::Mat> blobs(graph.blobs.size());
    blobs[input] = in;
    std::string err;
    const int r = plan.run(blobs, output, opt, err);
    if (ret)
        *ret = r;
    else
        EXPECT_EQ(r, 0) << err;
    if (error)
        *error = err;
    return blobs[output];
}

const ncnn::Backend &onednn()
{
    const ncnn::Backend *b = ncnn::find_backend("onednn");
    EXPECT_NE(b, nullptr);
    return *b;
}

ncnn::Option options(int threads, bool light = true)
{
    ncnn::Option opt;
    opt.num_threads = threads;
    opt.lightmode = light;
    return opt;
}

} // namespace

// Generated RRDBNet and SRVGG, tiles of several shapes in turn through one plan, threads 1, 2, 4.
TEST(OnednnBackend, NetworksMatchTheReferenceOnTilesInTurn)
{
    const SampleGraph nets[] = {makeRrdbNetGraph(2, 16, 8, 5), makeRrdbNetGraph(1, 13, 5, 6),
                                makeSrvggGraph(3, 12, 7)};
    for (const SampleGraph &net : nets) {
        auto graph = loadGraph(writeModel(net.graph));
        ASSERT_TRUE(graph);
        ASSERT_TRUE(onednn().supports(*graph, options(2), nullptr));
        std::string err;
        auto fast = onednn().compile(*graph, options(2), nullptr, err);
        ASSERT_TRUE(fast) << err;
        auto reference = ncnn::reference_backend().compile(*graph, options(2), nullptr, err);
        ASSERT_TRUE(reference) << err;
        const Shape tiles[] = {{3, 7, 5}, {3, 1, 1}, {3, 5, 5}, {3, 7, 5}, {3, 9, 4}, {3, 7, 5}};
        unsigned seed = 90;
        int turn = 0;
        for (const Shape &tile : tiles) {
            {
                const int threads = 1 << (turn++ % 3);
                const ncnn::Mat in = toMat(randomPlanar(tile, seed++));
                const ncnn::Mat a = runPlan(*fast, *graph, net.input, in, net.output, options(threads));
                const ncnn::Mat b = runPlan(*reference, *graph, net.input, in, net.output, options(threads));
                ASSERT_FALSE(a.empty());
                ASSERT_EQ(a.w, b.w);
                ASSERT_EQ(a.c, b.c);
                EXPECT_LE(normalisedError(toVector(a), toVector(b)), kBound)
                    << net.graph.ops.size() << " layers, tile " << tile.h << "x" << tile.w << ", threads "
                    << threads;
            }
        }
    }
}

// The demo x2 network's average Pooling, Pooling oneDNN cannot express, and layers without a oneDNN lowering
// (Padding) or with parameters it lacks (bilinear Interp): each runs between its oneDNN neighbours inside one
// plan, in every layout, instead of sending the whole network to the reference.
TEST(OnednnBackend, LayersWithoutALoweringRunInsideThePlan)
{
    const char *param = "7767517\n"
                        "8 8\n"
                        "Input in 0 1 b0\n"
                        "Convolution c1 1 1 b0 b1 0=8 1=3 4=1 5=1 6=216\n"
                        "Pooling avg 1 1 b1 b2 0=1 1=2 2=2\n"
                        "Pooling max 1 1 b2 b3 0=0 1=3 2=2 3=1\n"
                        "Pooling tail 1 1 b3 b4 0=1 1=3 2=2 3=1 6=1\n"
                        "Interp bilinear 1 1 b4 b5 0=2 1=2.0 2=2.0\n"
                        "Padding pad 1 1 b5 b6 0=1 1=0 2=2 3=1\n"
                        "Convolution c2 1 1 b6 b7 0=3 1=3 4=1 5=1 6=216\n";
    ModelFiles files;
    files.param = param;
    for (int conv = 0; conv < 2; ++conv) {
        const auto weights = randomVector(216, 20 + conv, 0.2f);
        const auto bias = randomVector(conv == 0 ? 8 : 3, 30 + conv, 0.1f);
        const size_t at = files.bin.size();
        files.bin.resize(at + 4 + 4 * (weights.size() + bias.size()), 0);
        std::memcpy(files.bin.data() + at + 4, weights.data(), weights.size() * 4);
        std::memcpy(files.bin.data() + at + 4 + weights.size() * 4, bias.data(), bias.size() * 4);
    }
    auto graph = loadGraph(files);
    ASSERT_TRUE(graph);
    FastGraph fast;
    std::string err;
    ASSERT_TRUE(translateGraph(*graph, fast, err)) << err;
    auto reference = ncnn::reference_backend().compile(*graph, options(2), nullptr, err);
    ASSERT_TRUE(reference) << err;
    for (const Shape &tile : {Shape{3, 17, 13}, Shape{3, 16, 16}}) {
        const Planar input = randomPlanar(tile, 8);
        const ncnn::Mat expected = runPlan(*reference, *graph, 0, toMat(input), 7, options(2));
        for (Layout layout :
             {Layout::Auto, Layout::Plain, Layout::Nhwc, Layout::Blocked8, Layout::Blocked16}) {
            PlanOptions planOptions;
            planOptions.numThreads = 2;
            planOptions.layout = layout;
            planOptions.allowSlowConvolutions = true;
            auto plan = Plan::compile(fast, {{0, tile}}, {7}, planOptions, &err);
            ASSERT_TRUE(plan) << layoutName(layout) << ": " << err;
            const Shape outShape = plan->shapeOf(7);
            std::vector<float> out(static_cast<size_t>(outShape.c) * outShape.h * outShape.w);
            const size_t plane = static_cast<size_t>(tile.h) * tile.w;
            BufferPool pool;
            ASSERT_EQ(plan->run({{0, TensorView{const_cast<float *>(input.data.data()), tile, plane}}},
                                {{7, TensorView{out.data(), outShape, size_t(outShape.h) * outShape.w}}},
                                pool, &err),
                      0)
                << err;
            EXPECT_LE(normalisedError(out, toVector(expected)), kBound)
                << layoutName(layout) << " tile " << tile.h;
        }
    }
}

namespace {

// Fails every allocation after a budget: the run must report out of memory, never crash.
class FailingAllocator : public ncnn::Allocator {
public:
    explicit FailingAllocator(int allowed) : allowed_(allowed) {}
    void *fastMalloc(size_t size) override { return allowed_-- > 0 ? ncnn::fastMalloc(size) : nullptr; }
    void fastFree(void *ptr) override { ncnn::fastFree(ptr); }

private:
    std::atomic<int> allowed_;
};

} // namespace

TEST(OnednnBackend, OutOfMemoryIsAnError)
{
    const SampleGraph net = makeRrdbNetGraph(1, 16, 8, 9);
    auto graph = loadGraph(writeModel(net.graph));
    ASSERT_TRUE(graph);
    std::string err;
    auto fast = onednn().compile(*graph, options(2), nullptr, err);
    ASSERT_TRUE(fast) << err;
    const ncnn::Mat in = toMat(randomPlanar({3, 6, 6}, 10));
    for (int allowed : {0, 1, 3, 6}) {
        FailingAllocator allocator(allowed);
        ncnn::Option opt = options(2);
        opt.blob_allocator = &allocator;
        opt.workspace_allocator = &allocator;
        int ret = 0;
        const ncnn::Mat out = runPlan(*fast, *graph, net.input, in, net.output, opt, &ret, &err);
        EXPECT_EQ(ret, ncnn::ERROR_OUT_OF_MEMORY) << allowed << ": " << err;
        EXPECT_TRUE(out.empty());
    }
}

// Through the public API: the network picks the oneDNN backend and agrees with the reference path.
TEST(OnednnBackend, NetUsesItAndAgrees)
{
    const SampleGraph net = makeSrvggGraph(2, 8, 11);
    const ModelFiles files = writeModel(net.graph);
    const auto path =
        std::filesystem::temp_directory_path() /
        ("brivelle_onednn_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
         std::to_string(reinterpret_cast<uintptr_t>(&files)) + ".bin");
    {
        std::ofstream bin(path, std::ios::binary);
        bin.write(reinterpret_cast<const char *>(files.bin.data()),
                  static_cast<std::streamsize>(files.bin.size()));
    }
    ncnn::Net n;
    n.opt.num_threads = 2;
    ASSERT_EQ(n.load_param_mem(files.param.c_str()), 0) << n.last_error();
    ASSERT_EQ(n.load_model(path.string().c_str()), 0) << n.last_error();
    std::filesystem::remove(path);
    auto graph = loadGraph(files);
    ASSERT_TRUE(graph);
    EXPECT_EQ(ncnn::choose_backend(*graph, n.opt, nullptr), &onednn());
    std::string err;
    auto reference = ncnn::reference_backend().compile(*graph, options(2), nullptr, err);
    for (const Shape &tile : {Shape{3, 11, 6}, Shape{3, 4, 4}}) {
        const ncnn::Mat in = toMat(randomPlanar(tile, 12));
        ncnn::Extractor ex = n.create_extractor();
        ASSERT_EQ(ex.input(blobName(net.input).c_str(), in), 0);
        ncnn::Mat out;
        ASSERT_EQ(ex.extract(blobName(net.output).c_str(), out), 0) << ex.last_error();
        const ncnn::Mat expected = runPlan(*reference, *graph, net.input, in, net.output, options(2));
        EXPECT_LE(normalisedError(toVector(out), toVector(expected)), kBound);
    }
}

// The published models on a tiny crop: the oneDNN path takes them whole and agrees with the reference.
TEST(OnednnBackend, RealModelsOnATinyCrop)
{
    const char *shared = std::getenv("BRIVELLE_SHARED_DIR");
    const std::filesystem::path models = std::filesystem::path(shared ? shared : "../shared") / "models";
    if (!std::filesystem::exists(models / "realesrgan-x4fast.param"))
        GTEST_SKIP() << "no models in " << models;
    for (const char *name : {"realesrgan-x4fast", "realesrgan-x4plus"}) {
        ncnn::Net net;
        net.opt.num_threads = 2;
        ASSERT_EQ(net.load_param((models / (std::string(name) + ".param")).string().c_str()), 0)
            << net.last_error();
        ASSERT_EQ(net.load_model((models / (std::string(name) + ".bin")).string().c_str()), 0)
            << net.last_error();
        const ncnn::Mat in = toMat(randomPlanar({3, 5, 4}, 13, 0.5f));
        ncnn::Extractor ex = net.create_extractor();
        ASSERT_EQ(ex.input("data", in), 0);
        ncnn::Mat out;
        ASSERT_EQ(ex.extract("output", out), 0) << ex.last_error();
        ASSERT_EQ(out.w, 16);
        ASSERT_EQ(out.h, 20);

        // The same file, through the graph, on both backends.
        std::ifstream param(models / (std::string(name) + ".param"), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(param)), std::istreambuf_iterator<char>());
        std::ifstream bin(models / (std::string(name) + ".bin"), std::ios::binary);
        const std::vector<unsigned char> weights((std::istreambuf_iterator<char>(bin)),
                                                 std::istreambuf_iterator<char>());
        ncnn::Graph graph;
        std::string err;
        ASSERT_EQ(ncnn::parse_param(text.data(), text.size(), graph, err), 0) << err;
        ASSERT_EQ(ncnn::load_weights(weights.data(), weights.size(), graph, err), 0) << err;
        for (auto &layer : graph.layers)
            layer->create_pipeline(net.opt);
        EXPECT_TRUE(onednn().supports(graph, net.opt, nullptr)) << name;
        auto reference = ncnn::reference_backend().compile(graph, net.opt, nullptr, err);
        const int input = graph.find_blob("data"), output = graph.find_blob("output");
        const ncnn::Mat expected = runPlan(*reference, graph, input, in, output, options(2));
        EXPECT_LE(normalisedError(toVector(out), toVector(expected)), kBound) << name;
    }
}

// The generator's networks (x2 begins with a pixel unshuffle; fp16 storage) on both backends.
TEST(OnednnBackend, GeneratedModelsMatchTheReference)
{
    using namespace brivelle::modelgen;
    RrdbConfig x2;
    x2.blocks = 1;
    x2.features = 16;
    x2.growth = 8;
    x2.scale = 2;
    RrdbConfig x4 = x2;
    x4.scale = 4;
    x4.features = 12;
    x4.growth = 6;
    SrvggConfig vgg;
    vgg.convs = 3;
    vgg.features = 10;
    const brivelle::modelgen::ModelFiles models[] = {
        rrdbnet(x2, Storage::Fp16, 3), rrdbnet(x4, Storage::Fp32, 4), srvgg(vgg, Storage::Fp32, 5)};
    int index = 0;
    for (const auto &files : models) {
        const brivelle::onednn::testing::ModelFiles ours{files.param, files.bin};
        auto graph = loadGraph(ours);
        ASSERT_TRUE(graph);
        EXPECT_TRUE(onednn().supports(*graph, options(2), nullptr)) << index;
        std::string err;
        auto fast = onednn().compile(*graph, options(2), nullptr, err);
        ASSERT_TRUE(fast) << err;
        auto reference = ncnn::reference_backend().compile(*graph, options(2), nullptr, err);
        const int input = graph->find_blob("data"), output = graph->find_blob("output");
        for (const Shape &tile : {Shape{3, 6, 4}, Shape{3, 10, 8}}) {
            const ncnn::Mat in = toMat(randomPlanar(tile, 14));
            const ncnn::Mat a = runPlan(*fast, *graph, input, in, output, options(2));
            const ncnn::Mat b = runPlan(*reference, *graph, input, in, output, options(2));
            EXPECT_LE(normalisedError(toVector(a), toVector(b)), kBound)
                << "model " << index << " tile " << tile.h;
        }
        ++index;
    }
}
