// Whole networks on the GPU against the same networks on the CPU reference.
#include "support/runtime/compare.h"
#include "support/runtime/gpu.h"
#include "support/runtime/nets.h"
#include "support/runtime/random.h"

#include "vulkan/device.h"
#include "vulkan/gpu_buffer.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

namespace {

using rtest::GpuTest;
using rtest::kFp32Tolerance;
using rtest::ModelWriter;

void expectSameAsCpu(const ModelWriter &model, const ncnn::VulkanDevice *device,
                     const std::vector<std::pair<int, int>> &tiles)
{
    ncnn::Net cpu, gpu;
    ASSERT_EQ(rtest::loadNet(cpu, model, nullptr), 0) << cpu.last_error();
    ASSERT_EQ(rtest::loadNet(gpu, model, device), 0) << gpu.last_error();
    unsigned seed = 100;
    for (const auto &[w, h] : tiles) {
        const ncnn::Mat in = rtest::randomMat(w, h, 3, seed++);
        ncnn::Mat want, got;
        ASSERT_EQ(rtest::extract(cpu, in, want), 0);
        ASSERT_EQ(rtest::extract(gpu, in, got), 0);
        ASSERT_EQ(got.w, want.w);
        ASSERT_EQ(got.h, want.h);
        EXPECT_LE(rtest::relativeError(got, want), kFp32Tolerance) << "tile " << w << "x" << h;
    }
}

TEST_F(GpuTest, RrdbNetEndToEnd)
{
    // Dense blocks whose parts start on channel groups are assembled in place, the others (growth 5)
    // are copied in at offsets inside a group.
    expectSameAsCpu(rtest::rrdbnet(1, 8, 4, 3), device, {{9, 7}});
    expectSameAsCpu(rtest::rrdbnet(1, 8, 5, 3), device, {{5, 1}});
}

TEST_F(GpuTest, SrvggEndToEnd)
{
    expectSameAsCpu(rtest::srvgg(3, 8, 4, 4), device, {{7, 6}});
}

TEST_F(GpuTest, TilesOfSeveralShapesInTurn)
{
    brivelle::vk::BufferPool &pool = *device->d->pool;
    expectSameAsCpu(rtest::srvgg(2, 6, 2, 5), device, {{8, 8}, {5, 11}, {1, 1}, {8, 8}, {13, 3}});
    // With the networks gone, every blob and weight buffer is back in the pool.
    EXPECT_EQ(pool.liveBytes(), 0u);
    const size_t afterFirst = pool.allocationCount();
    expectSameAsCpu(rtest::srvgg(2, 6, 2, 5), device, {{8, 8}, {8, 8}});
    EXPECT_LE(pool.allocationCount() - afterFirst, 8u) << "equal tiles should reuse pooled buffers";
}

TEST_F(GpuTest, NetworkReloadedAcrossInstanceCycles)
{
    const ModelWriter model = rtest::srvgg(2, 4, 2, 6);
    const ncnn::Mat in = rtest::randomMat(6, 5, 3, 7);
    ncnn::Net cpu;
    ASSERT_EQ(rtest::loadNet(cpu, model, nullptr), 0);
    ncnn::Mat want;
    ASSERT_EQ(rtest::extract(cpu, in, want), 0);
    ncnn::Net gpu;
    for (int cycle = 0; cycle < 4; cycle++) {
        // What the app does before every GPU batch: clear, rebuild the instance, bind, load.
        gpu.clear();
        ncnn::destroy_gpu_instance();
        ASSERT_EQ(ncnn::create_gpu_instance(), 0);
        ASSERT_GT(ncnn::get_gpu_count(), 0);
        ASSERT_EQ(rtest::loadNet(gpu, model, ncnn::get_gpu_device(0)), 0) << gpu.last_error();
        ncnn::Mat got;
        ASSERT_EQ(rtest::extract(gpu, in, got), 0) << "cycle " << cycle;
        EXPECT_LE(rtest::relativeError(got, want), kFp32Tolerance) << "cycle " << cycle;
    }
    gpu.clear();
}

TEST_F(GpuTest, OutOfDeviceMemoryIsAnErrorNotACrash)
{
    const ModelWriter model = rtest::srvgg(2, 8, 2, 8);
    ncnn::Net gpu;
    ASSERT_EQ(rtest::loadNet(gpu, model, device), 0);
    brivelle::vk::BufferPool &pool = *device->d->pool;
    ncnn::Mat out;
    // Compile the plan (weights on the device), then leave no room for the blobs.
    ASSERT_EQ(rtest::extract(gpu, rtest::randomMat(4, 4, 3, 9), out), 0);
    pool.trim();
    pool.setAllocationCap(pool.liveBytes() + 1);
    ncnn::Extractor ex = gpu.create_extractor();
    ASSERT_EQ(ex.input("data", rtest::randomMat(40, 40, 3, 9)), 0);
    EXPECT_NE(ex.extract("output", out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_NE(ex.last_error().find("memory"), std::string::npos) << ex.last_error();
    pool.setAllocationCap(0);
    EXPECT_EQ(rtest::extract(gpu, rtest::randomMat(40, 40, 3, 9), out), 0);
}

TEST_F(GpuTest, IntermediateBlobsCanBeExtracted)
{
    // The fused convolution's own result is still available when asked for.
    ModelWriter m(11);
    m.input("data");
    m.layer("Split", "s", {"data"}, {"a", "b"});
    m.conv("c", "a", "ca", 3, 3, 3);
    m.layer("Eltwise", "e", {"ca", "b"}, {"output"}, "0=1 -23301=2,2.000000e-01,1.000000e+00");
    ncnn::Net cpu, gpu;
    ASSERT_EQ(rtest::loadNet(cpu, m, nullptr), 0);
    ASSERT_EQ(rtest::loadNet(gpu, m, device), 0);
    const ncnn::Mat in = rtest::randomMat(5, 4, 3, 12);
    for (const char *blob : {"ca", "output", "b"}) {
        ncnn::Mat want, got;
        ASSERT_EQ(rtest::extract(cpu, in, want, "data", blob), 0);
        ASSERT_EQ(rtest::extract(gpu, in, got, "data", blob), 0) << blob;
        EXPECT_LE(rtest::relativeError(got, want), kFp32Tolerance) << blob;
    }
}

TEST_F(GpuTest, DenseBlockBlobsCanBeExtracted)
{
    // The dense blocks' concatenations share one buffer; asking for one of their parts or for a
    // concatenation itself still gives the reference's values.
    const ModelWriter model = rtest::rrdbnet(1, 6, 4, 28);
    ncnn::Net cpu, gpu;
    ASSERT_EQ(rtest::loadNet(cpu, model, nullptr), 0);
    ASSERT_EQ(rtest::loadNet(gpu, model, device), 0);
    const ncnn::Mat in = rtest::randomMat(7, 5, 3, 29);
    for (const char *blob : {"b0d1_cat4", "b0d1_cat2", "b0d1_x1", "b0d2_out", "output"}) {
        ncnn::Mat want, got;
        ASSERT_EQ(rtest::extract(cpu, in, want, "data", blob), 0) << blob;
        ASSERT_EQ(rtest::extract(gpu, in, got, "data", blob), 0) << blob;
        ASSERT_EQ(got.c, want.c) << blob;
        EXPECT_LE(rtest::relativeError(got, want), kFp32Tolerance) << blob;
    }
}

TEST_F(GpuTest, BlobsAreFreedAfterTheirLastReader)
{
    // A chain of twelve convolutions needs two blobs at a time, not twelve, plus the scratch of one
    // Winograd pass.
    ModelWriter m(15);
    m.input("data");
    std::string x = "data";
    for (int i = 0; i < 12; i++) {
        const std::string y = i == 11 ? "output" : "x" + std::to_string(i);
        m.conv("c" + std::to_string(i), x, y, i == 0 ? 3 : 16, 16, 3);
        x = y;
    }
    ncnn::Net gpu;
    ASSERT_EQ(rtest::loadNet(gpu, m, device), 0);
    ncnn::Mat out;
    ASSERT_EQ(rtest::extract(gpu, rtest::randomMat(64, 64, 3, 16), out), 0);
    brivelle::vk::BufferPool &pool = *device->d->pool;
    const size_t weights = pool.liveBytes();
    pool.resetPeak();
    ASSERT_EQ(rtest::extract(gpu, rtest::randomMat(64, 64, 3, 16), out), 0);
    const size_t blob = 64 * 64 * 16 * sizeof(float);
    // F(4, 3): 6 x 6 positions of 16 x 16 tiles, in and out.
    const size_t winogradScratch = 2 * size_t(36) * 16 * (16 * 16) * sizeof(float);
    EXPECT_LE(pool.peakLiveBytes() - weights, 4 * blob + winogradScratch)
        << "peak " << pool.peakLiveBytes() << " weights " << weights;
}

TEST_F(GpuTest, LayerWithoutAGpuFormRunsOnTheCpuBetweenItsNeighbours)
{
    ModelWriter m(17);
    m.input("data");
    m.conv("c", "data", "c", 3, 4, 3);
    m.layer("Permute", "perm", {"c"}, {"s"}, "0=0");
    m.conv("d", "s", "output", 4, 2, 3);
    ncnn::Net cpu, gpu;
    ASSERT_EQ(rtest::loadNet(cpu, m, nullptr), 0);
    ASSERT_EQ(rtest::loadNet(gpu, m, device), 0);
    const ncnn::Mat in = rtest::randomMat(6, 5, 3, 18);
    ncnn::Mat want, got;
    ASSERT_EQ(rtest::extract(cpu, in, want), 0);
    brivelle::vk::BufferPool &pool = *device->d->pool;
    const size_t before = pool.liveBytes();
    ::testing::internal::CaptureStderr();
    const int rc = rtest::extract(gpu, in, got);
    const std::string log = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(rc, 0);
    EXPECT_NE(log.find("layer perm (Permute) cannot run on"), std::string::npos) << log;
    // The convolutions' weights went to the device: the network did not leave the GPU.
    EXPECT_GT(pool.liveBytes(), before);
    EXPECT_LE(rtest::relativeError(got, want), kFp32Tolerance);
}

TEST_F(GpuTest, SeveralThreadsShareOneNetwork)
{
    const ModelWriter model = rtest::srvgg(2, 6, 2, 19);
    ncnn::Net cpu, gpu;
    ASSERT_EQ(rtest::loadNet(cpu, model, nullptr), 0);
    ASSERT_EQ(rtest::loadNet(gpu, model, device), 0);
    constexpr int kThreads = 3;
    ncnn::Mat in[kThreads], want[kThreads], got[kThreads];
    int rc[kThreads];
    for (int i = 0; i < kThreads; i++) {
        in[i] = rtest::randomMat(5 + i, 7 - i, 3, 20 + unsigned(i));
        ASSERT_EQ(rtest::extract(cpu, in[i], want[i]), 0);
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++)
        threads.emplace_back([&, i] { rc[i] = rtest::extract(gpu, in[i], got[i]); });
    for (std::thread &t : threads)
        t.join();
    for (int i = 0; i < kThreads; i++) {
        ASSERT_EQ(rc[i], 0) << "thread " << i;
        EXPECT_LE(rtest::relativeError(got[i], want[i]), kFp32Tolerance) << i;
    }
}

TEST_F(GpuTest, NetworkOutlivingTheInstanceFailsCleanly)
{
    // The app releases its network first; the other order must not crash either.
    const ModelWriter model = rtest::srvgg(1, 4, 2, 26);
    auto net = std::make_unique<ncnn::Net>();
    ASSERT_EQ(rtest::loadNet(*net, model, device), 0);
    ncnn::Mat out;
    ASSERT_EQ(rtest::extract(*net, rtest::randomMat(4, 4, 3, 27), out), 0);
    ncnn::destroy_gpu_instance();
    ASSERT_EQ(ncnn::create_gpu_instance(), 0);
    ncnn::Extractor ex = net->create_extractor();
    ASSERT_EQ(ex.input("data", rtest::randomMat(4, 4, 3, 27)), 0);
    EXPECT_NE(ex.extract("output", out), 0);
    EXPECT_NE(ex.last_error().find("GPU instance"), std::string::npos) << ex.last_error();
    net.reset();
}

TEST_F(GpuTest, WithoutDeviceTheCpuRuns)
{
    const ModelWriter model = rtest::srvgg(1, 4, 2, 13);
    ncnn::Net net;
    net.opt.use_vulkan_compute = true;
    net.set_vulkan_device(ncnn::get_gpu_count() + 3);
    EXPECT_EQ(net.vulkan_device(), nullptr);
    const std::string param = model.param();
    ASSERT_EQ(net.load_param_mem(param.c_str()), 0);
    ASSERT_EQ(net.load_model_mem(model.bin().data(), model.bin().size()), 0);
    ncnn::Mat out;
    EXPECT_EQ(rtest::extract(net, rtest::randomMat(4, 4, 3, 14), out), 0);
    EXPECT_EQ(out.w, 8);
}

} // namespace

namespace {

class RealModelOnGpu : public rtest::GpuTest, public ::testing::WithParamInterface<const char *> {};

// The published models, on a tiny crop: the GPU path against the CPU reference.
TEST_P(RealModelOnGpu, MatchesReferenceOnATinyCrop)
{
    const char *shared = std::getenv("BRIVELLE_SHARED_DIR");
    const std::string base = std::string(shared ? shared : "") + "/models/" + GetParam();
    if (!shared || !std::ifstream(base + ".param").good())
        GTEST_SKIP() << "no " << base << ".param (the shared models folder is absent)";
    const ncnn::Mat in = rtest::randomMat(10, 7, 3, 31);
    ncnn::Mat results[2];
    for (int gpu = 0; gpu < 2; gpu++) {
        ncnn::Net net;
        net.opt.use_vulkan_compute = gpu == 1;
        net.opt.use_fp16_storage = net.opt.use_fp16_packed = net.opt.use_fp16_arithmetic = false;
        net.set_vulkan_device(gpu == 1 ? device : nullptr);
        ASSERT_EQ(net.load_param((base + ".param").c_str()), 0) << net.last_error();
        ASSERT_EQ(net.load_model((base + ".bin").c_str()), 0) << net.last_error();
        ASSERT_EQ(rtest::extract(net, in, results[gpu]), 0);
    }
    ASSERT_EQ(results[1].w, results[0].w);
    const std::vector<float> got = rtest::flatten(results[1]), want = rtest::flatten(results[0]);
    EXPECT_LE(rtest::relativeError(got, want), kFp32Tolerance);
    // As images (values 0..1) the two must be indistinguishable: 60 dB is an error of 0.1% of full scale.
    double squares = 0;
    for (size_t i = 0; i < got.size(); i++)
        squares += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
    const double psnr = squares > 0 ? 10 * std::log10(double(got.size()) / squares) : INFINITY;
    EXPECT_GE(psnr, 60.0);
    std::printf("GPU against CPU: %.1f dB\n", psnr);
}

// x4plus has the same layers as the generated RRDBNet but takes a minute on a software driver; it
// runs when BRIVELLE_GPU_LONG_TESTS is set.
std::vector<const char *> publishedModels()
{
    std::vector<const char *> models = {"realesrgan-x4fast"};
    if (std::getenv("BRIVELLE_GPU_LONG_TESTS"))
        models.push_back("realesrgan-x4plus");
    return models;
}

INSTANTIATE_TEST_SUITE_P(Published, RealModelOnGpu, ::testing::ValuesIn(publishedModels()),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.param).substr(std::strlen("realesrgan-"));
                         });

} // namespace

#ifdef BRIVELLE_HAS_MODELGEN
#include "modelgen.h"

namespace {

int loadGenerated(ncnn::Net &net, const brivelle::modelgen::ModelFiles &files,
                  const ncnn::VulkanDevice *device)
{
    net.opt.use_vulkan_compute = device != nullptr;
    net.opt.use_fp16_storage = net.opt.use_fp16_packed = net.opt.use_fp16_arithmetic = false;
    net.set_vulkan_device(device);
    if (net.load_param_mem(files.param.c_str()) != 0)
        return -1;
    return net.load_model_mem(files.bin.data(), files.bin.size());
}

struct GeneratedCase {
    const char *name;
    brivelle::modelgen::ModelFiles files;
};

class GeneratedOnGpu : public rtest::GpuTest, public ::testing::WithParamInterface<int> {};

// The runtime's model generator: RRDBNet x4, RRDBNet x2 (pixel unshuffle first) and SRVGG, fp16 weights.
TEST_P(GeneratedOnGpu, MatchesReference)
{
    using namespace brivelle::modelgen;
    const int which = GetParam();
    // The x4 RRDBNet and SRVGG are wide enough for their 3x3 convolutions to take the Winograd path.
    ModelFiles files =
        which == 2 ? srvgg(SrvggConfig{3, 16, 4}, Storage::Fp16, 41)
                   : rrdbnet(RrdbConfig{1, which == 0 ? 16 : 8, which == 0 ? 16 : 4, which == 0 ? 4 : 2},
                             Storage::Fp16, 42);
    ncnn::Net cpu, gpu;
    ASSERT_EQ(loadGenerated(cpu, files, nullptr), 0) << cpu.last_error();
    ASSERT_EQ(loadGenerated(gpu, files, device), 0) << gpu.last_error();
    for (const auto &[w, h] : {std::pair<int, int>{10, 6}, {6, 8}}) {
        const ncnn::Mat in = rtest::randomMat(w, h, 3, 43);
        ncnn::Mat want, got;
        ASSERT_EQ(rtest::extract(cpu, in, want), 0);
        ASSERT_EQ(rtest::extract(gpu, in, got), 0);
        ASSERT_EQ(got.w, want.w);
        EXPECT_LE(rtest::relativeError(got, want), kFp32Tolerance) << w << "x" << h;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, GeneratedOnGpu, ::testing::Values(0, 1, 2), [](const ::testing::TestParamInfo<int> &i) {
        return std::string(i.param == 0 ? "rrdbnet_x4" : i.param == 1 ? "rrdbnet_x2" : "srvgg_x4");
    });

} // namespace
#endif
