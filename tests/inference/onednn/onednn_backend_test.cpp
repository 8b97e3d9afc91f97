// The oneDNN backend against the reference backend on models loaded from ncnn text, and through Net.
// Error metric: max |onednn - reference| / max(|reference|, 1), bound 1e-4.

#include "support/runtime/failingAllocator.h"
#include "support/runtime/onednn.h"

#include "modelgen.h"

#include <ncnn/allocator.h>
#include <ncnn/net.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace brivelle::onednn;
using namespace rtest;

namespace {

const ncnn::Backend &onednn()
{
    const ncnn::Backend *b = ncnn::find_backend("onednn");
    EXPECT_NE(b, nullptr);
    return *b;
}

} // namespace

// Generated RRDBNet and SRVGG, tiles of several shapes in turn through one plan, threads 1, 2, 4.
TEST(OnednnBackend, NetworksMatchTheReferenceOnTilesInTurn)
{
    const SampleGraph nets[] = {makeRrdbNetGraph(2, 16, 8, 5), makeRrdbNetGraph(1, 13, 5, 6),
                                makeSrvggGraph(3, 12, 7)};
    for (const SampleGraph &net : nets) {
        const ncnn::Graph *graph = net.graph.get();
        ASSERT_TRUE(ncnn::runs_graph(onednn(), *graph, options(2), nullptr));
        std::string err;
        auto fast = onednn().compile(*graph, options(2), nullptr, err);
        ASSERT_TRUE(fast) << err;
        auto reference = ncnn::reference_backend().compile(*graph, options(2), nullptr, err);
        ASSERT_TRUE(reference) << err;
        const Shape tiles[] = {{3, 7, 5}, {3, 1, 1}, {3, 5, 5}, {3, 7, 5}, {3, 9, 4}, {3, 7, 5}};
        unsigned seed = 90;
        int turn = 0;
        for (const Shape &tile : tiles) {
            const int threads = 1 << (turn++ % 3);
            const Inputs in{{net.input, randomMat(tile, seed++)}};
            const ncnn::Mat a = runBackend(*graph, in, net.output, options(threads), fast.get());
            const ncnn::Mat b = runBackend(*graph, in, net.output, options(threads), reference.get());
            EXPECT_LE(relativeError(a, b), kFp32Tolerance)
                << graph->layers.size() << " layers, tile " << tile.h << "x" << tile.w << ", threads "
                << threads;
        }
    }
}

// The demo x2 network's average Pooling, Pooling oneDNN cannot express, and layers without a oneDNN lowering
// (Padding) or with parameters it lacks (bilinear Interp): each runs between its oneDNN neighbours inside one
// plan, in every layout, instead of sending the whole network to the reference.
TEST(OnednnBackend, LayersWithoutALoweringRunInsideThePlan)
{
    ModelWriter m(20);
    m.input("data");
    m.conv("c1", "data", "b1", 3, 8, 3);
    m.layer("Pooling", "avg", {"b1"}, {"b2"}, "0=1 1=2 2=2");
    m.layer("Pooling", "max", {"b2"}, {"b3"}, "0=0 1=3 2=2 3=1");
    m.layer("Pooling", "tail", {"b3"}, {"b4"}, "0=1 1=3 2=2 3=1 6=1");
    m.layer("Interp", "bilinear", {"b4"}, {"b5"}, "0=2 1=2.000000e+00 2=2.000000e+00");
    m.layer("Padding", "pad", {"b5"}, {"b6"}, "0=1 1=0 2=2 3=1");
    m.conv("c2", "b6", "output", 8, 3, 3);
    auto graph = load(m);
    ASSERT_TRUE(graph);
    const int data = graph->find_blob("data"), output = graph->find_blob("output");
    for (const Shape &tile : {Shape{3, 17, 13}, Shape{3, 16, 16}}) {
        const Inputs in{{data, randomMat(tile, 8)}};
        const ncnn::Mat expected = runBackend(*graph, in, output);
        for (Layout layout :
             {Layout::Auto, Layout::Plain, Layout::Nhwc, Layout::Blocked8, Layout::Blocked16}) {
            PlanOptions planOptions;
            planOptions.numThreads = 2;
            planOptions.layout = layout;
            planOptions.allowSlowConvolutions = true;
            std::unique_ptr<Plan> plan;
            std::string err;
            ASSERT_EQ(Plan::compile(*graph, {{data, tile}}, {output}, planOptions, plan, err), 0)
                << layoutName(layout) << ": " << err;
            const Shape outShape = plan->shapeOf(output);
            ncnn::Mat out(outShape.w, outShape.h, outShape.c);
            BufferPool pool;
            ASSERT_EQ(plan->run({{data, viewOf(in[0].second)}}, {{output, viewOf(out)}}, pool, err), 0)
                << err;
            EXPECT_LE(relativeError(out, expected), kFp32Tolerance)
                << layoutName(layout) << " tile " << tile.h;
        }
    }
}

TEST(OnednnBackend, OutOfMemoryIsAnError)
{
    const SampleGraph net = makeRrdbNetGraph(1, 16, 8, 9);
    const ncnn::Graph *graph = net.graph.get();
    std::string err;
    auto fast = onednn().compile(*graph, options(2), nullptr, err);
    ASSERT_TRUE(fast) << err;
    const Inputs in{{net.input, randomMat({3, 6, 6}, 10)}};
    for (int allowed : {0, 1, 3, 6}) {
        // Every allocation after the budget fails: the run must report out of memory, never crash.
        FailingAllocator allocator(allowed + 1, SIZE_MAX, FailingAllocator::Then::Refuse);
        ncnn::Option opt = options(2);
        opt.blob_allocator = &allocator;
        opt.workspace_allocator = &allocator;
        int ret = 0;
        const ncnn::Mat out = runBackend(*graph, in, net.output, opt, fast.get(), &ret, &err);
        EXPECT_EQ(ret, ncnn::ERROR_OUT_OF_MEMORY) << allowed << ": " << err;
        EXPECT_TRUE(out.empty());
    }
}

// Through the public API: the network picks the oneDNN backend and agrees with the reference path.
TEST(OnednnBackend, NetUsesItAndAgrees)
{
    const SampleGraph net = makeSrvggGraph(2, 8, 11);
    const SampleGraph &files = net;
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
    EXPECT_EQ(ncnn::choose_backend(*net.graph, n.opt, nullptr), &onednn());
    for (const Shape &tile : {Shape{3, 11, 6}, Shape{3, 4, 4}}) {
        const ncnn::Mat in = randomMat(tile, 12);
        ncnn::Extractor ex = n.create_extractor();
        ASSERT_EQ(ex.input("data", in), 0);
        ncnn::Mat out;
        ASSERT_EQ(ex.extract("output", out), 0) << ex.last_error();
        EXPECT_LE(relativeError(out, runBackend(*net.graph, {{net.input, in}}, net.output)), kFp32Tolerance);
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
        const ncnn::Mat in = randomMat({3, 5, 4}, 13);
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
        EXPECT_TRUE(ncnn::runs_graph(onednn(), graph, net.opt, nullptr)) << name;
        const int input = graph.find_blob("data"), output = graph.find_blob("output");
        EXPECT_LE(relativeError(out, runBackend(graph, {{input, in}}, output)), kFp32Tolerance) << name;
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
        auto graph = load(files.param, files.bin);
        ASSERT_TRUE(graph);
        EXPECT_TRUE(ncnn::runs_graph(onednn(), *graph, options(2), nullptr)) << index;
        std::string err;
        auto fast = onednn().compile(*graph, options(2), nullptr, err);
        ASSERT_TRUE(fast) << err;
        const int input = graph->find_blob("data"), output = graph->find_blob("output");
        for (const Shape &tile : {Shape{3, 6, 4}, Shape{3, 10, 8}}) {
            const Inputs in{{input, randomMat(tile, 14)}};
            EXPECT_LE(relativeError(runBackend(*graph, in, output, options(2), fast.get()),
                                    runBackend(*graph, in, output)),
                      kFp32Tolerance)
                << "model " << index << " tile " << tile.h;
        }
        ++index;
    }
}
