// The GPU functions of <ncnn/gpu.h>: the device list, budgets, and instance life cycles.
#include "support/runtime/gpu.h"
#include "support/runtime/random.h"

#include "vulkan/command.h"
#include "vulkan/device.h"
#include "vulkan/layers/binaryop_vulkan.h"
#include "vulkan/tensor_dispatch.h"
#include <ncnn/errors.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using rtest::GpuTest;

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

// Runs one small dispatch so that a cycle exercises buffers, pipelines and a submission.
void addOnDevice(const ncnn::VulkanDevice &device)
{
    brivelle::vk::Stream s(device);
    brivelle::vk::Tensor a, out;
    ASSERT_TRUE(brivelle::vk::allocate(s, a, 5, 3, 2));
    const std::vector<float> data = rtest::randomVector(5 * 3 * 2, 1);
    ASSERT_EQ(brivelle::vk::upload_planes(s, data.data(), 5 * 3, a), 0);
    ASSERT_EQ(brivelle::vk::binary(s, 0, a, brivelle::vk::Tensor{}, 1.5f, out), 0);
    std::vector<float> grouped(out.count()), got(data.size());
    ASSERT_EQ(s.download(out.buf, out.bytes(), grouped.data()), 0);
    ASSERT_EQ(s.finish(), 0);
    brivelle::vk::unpack(grouped.data(), out.w, out.h, out.c, got.data(), 5 * 3);
    for (size_t i = 0; i < got.size(); i++)
        ASSERT_FLOAT_EQ(got[i], data[i] + 1.5f);
}

TEST_F(GpuTest, ListsDevicesWithTypeAndName)
{
    const int count = ncnn::get_gpu_count();
    ASSERT_GT(count, 0);
    EXPECT_GE(ncnn::get_default_gpu_index(), 0);
    EXPECT_LT(ncnn::get_default_gpu_index(), count);
    for (int i = 0; i < count; i++) {
        const ncnn::GpuInfo &info = ncnn::get_gpu_info(i);
        EXPECT_GT(std::strlen(info.device_name()), 0u);
        EXPECT_GE(info.type(), 0);
        EXPECT_LE(info.type(), 3);
        // Mesa's software rasteriser reports itself as a CPU.
        if (std::strstr(info.device_name(), "llvmpipe")) {
            EXPECT_EQ(info.type(), 3) << info.device_name();
        }
        ncnn::VulkanDevice *dev = ncnn::get_gpu_device(i);
        ASSERT_NE(dev, nullptr);
        EXPECT_EQ(&dev->info, &info);
        EXPECT_GT(dev->get_heap_budget(), 0u) << info.device_name();
    }
}

// Each device has an identity that does not depend on the list's order, and BRIVELLE_VISIBLE_DEVICES
// hides the devices it does not name, by index or by that identity.
TEST_F(GpuTest, DevicesHaveIdentitiesThatLimitTheList)
{
    const int count = ncnn::get_gpu_count();
    const std::string uuid = ncnn::get_gpu_info(0).uuid_text();
    if (uuid.empty())
        GTEST_SKIP() << "the driver gives no device UUID";
    EXPECT_EQ(uuid.size(), 36u) << uuid;
    const std::string pci = ncnn::get_gpu_info(0).pci_address();
    EXPECT_TRUE(pci.empty() || (pci.size() == 12 && pci[4] == ':' && pci[10] == '.')) << pci;
    std::string upperWithoutDashes;
    for (char c : uuid) {
        if (c != '-')
            upperWithoutDashes += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const struct {
        std::string visible;
        int devices;
    } cases[] = {
        {"0", 1}, {uuid, 1}, {"7," + upperWithoutDashes, 1}, {"99", 0}, {"", 0}, {"not-a-device", 0},
    };
    for (const auto &c : cases) {
        ncnn::destroy_gpu_instance();
        setenv("BRIVELLE_VISIBLE_DEVICES", c.visible.c_str(), 1);
        ASSERT_EQ(ncnn::create_gpu_instance(), 0);
        unsetenv("BRIVELLE_VISIBLE_DEVICES");
        ASSERT_EQ(ncnn::get_gpu_count(), c.devices) << "BRIVELLE_VISIBLE_DEVICES=" << c.visible;
        if (c.devices == 1) {
            EXPECT_EQ(ncnn::get_gpu_info(0).uuid_text(), uuid);
        }
    }
    ncnn::destroy_gpu_instance();
    ASSERT_EQ(ncnn::create_gpu_instance(), 0);
    EXPECT_EQ(ncnn::get_gpu_count(), count);
}

// A device keeps what it compiled in the folder it was given, as a file this driver's header starts;
// a damaged file or a folder that cannot be written only costs the compilation.
TEST_F(GpuTest, PipelineCacheSurvivesTheInstance)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("brivelle-pipelines-" + std::to_string(getpid()));
    fs::remove_all(folder);
    auto cycle = [](const fs::path &where) {
        ncnn::destroy_gpu_instance();
        ncnn::set_pipeline_cache_folder(where.c_str());
        ASSERT_EQ(ncnn::create_gpu_instance(), 0);
        ASSERT_GT(ncnn::get_gpu_count(), 0);
        addOnDevice(*ncnn::get_gpu_device(0));
        ncnn::destroy_gpu_instance();
    };
    auto cacheFiles = [&] {
        std::vector<fs::path> files;
        for (const auto &entry : fs::directory_iterator(folder)) {
            if (entry.path().extension() == ".bin")
                files.push_back(entry.path());
        }
        return files;
    };
    cycle(folder);
    std::vector<fs::path> files = cacheFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GE(fs::file_size(files[0]), 32u);
    std::ofstream(files[0], std::ios::binary | std::ios::trunc) << "not a pipeline cache";
    cycle(folder);
    files = cacheFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_GE(fs::file_size(files[0]), 32u);
    // A file standing where the folder should be: nothing can be written, and nothing fails.
    const fs::path blocked = folder / "blocked";
    std::ofstream(blocked) << "a file";
    cycle(blocked / "cache");
    ncnn::set_pipeline_cache_folder(nullptr);
    ASSERT_EQ(ncnn::create_gpu_instance(), 0);
    fs::remove_all(folder);
}

TEST_F(GpuTest, IndicesOutsideTheListGiveNoDevice)
{
    EXPECT_EQ(ncnn::get_gpu_device(-1), nullptr);
    EXPECT_EQ(ncnn::get_gpu_device(ncnn::get_gpu_count()), nullptr);
    // ncnn returns a reference here; ours stays valid and empty rather than reading past the list.
    EXPECT_STREQ(ncnn::get_gpu_info(ncnn::get_gpu_count() + 5).device_name(), "");
    EXPECT_EQ(ncnn::get_gpu_info(-1).type(), -1);
}

TEST_F(GpuTest, BudgetShrinksWhileMemoryIsHeld)
{
    const uint32_t before = device->get_heap_budget();
    brivelle::vk::Stream s(*device);
    brivelle::vk::Tensor big;
    // 256 MiB is far below any real heap but large enough to show in the driver's usage figure.
    ASSERT_TRUE(brivelle::vk::allocate(s, big, 1024, 1024, 64));
    const uint32_t during = device->get_heap_budget();
    EXPECT_LE(during, before);
}

TEST_F(GpuTest, RecreatingTheInstanceKeepsTheListAndLeaksNothing)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine: resident size would measure that";
#endif
    const int count = ncnn::get_gpu_count();
    const std::string name = ncnn::get_gpu_info(0).device_name();
    addOnDevice(*device);
    long base = 0;
    for (int cycle = 0; cycle < 12; cycle++) {
        ncnn::destroy_gpu_instance();
        EXPECT_EQ(ncnn::get_gpu_count(), 0);
        EXPECT_EQ(ncnn::get_gpu_device(0), nullptr);
        ASSERT_EQ(ncnn::create_gpu_instance(), 0);
        ASSERT_EQ(ncnn::get_gpu_count(), count);
        EXPECT_EQ(name, ncnn::get_gpu_info(0).device_name());
        addOnDevice(*ncnn::get_gpu_device(0));
        // The first cycles warm the driver's caches; growth after them would be a leak.
        if (cycle == 3)
            base = residentKiB();
    }
    const long growth = residentKiB() - base;
    EXPECT_LT(growth, 16 * 1024) << "resident memory grew by " << growth << " KiB over 8 instance cycles";
}

TEST(GpuWithoutDriver, MissingLoaderGivesZeroDevices)
{
    EXPECT_NE(ncnn::create_gpu_instance("/nonexistent/libvulkan.so.1"), 0);
    EXPECT_EQ(ncnn::get_gpu_count(), 0);
    EXPECT_EQ(ncnn::get_gpu_device(0), nullptr);
    EXPECT_EQ(ncnn::get_gpu_device(ncnn::get_default_gpu_index()), nullptr);
    ncnn::destroy_gpu_instance();
    ncnn::destroy_gpu_instance();
    EXPECT_EQ(ncnn::get_gpu_count(), 0);
}

TEST(GpuWithoutDriver, NoInstalledDriverGivesZeroDevices)
{
    const char *old = std::getenv("VK_ICD_FILENAMES");
    const std::string saved = old ? old : "";
    setenv("VK_ICD_FILENAMES", "/nonexistent/icd.json", 1);
    ncnn::create_gpu_instance();
    EXPECT_EQ(ncnn::get_gpu_count(), 0);
    EXPECT_EQ(ncnn::get_gpu_device(0), nullptr);
    ncnn::destroy_gpu_instance();
    if (old)
        setenv("VK_ICD_FILENAMES", saved.c_str(), 1);
    else
        unsetenv("VK_ICD_FILENAMES");
}

TEST_F(GpuTest, PoolReusesBuffersOfEqualSize)
{
    brivelle::vk::BufferPool &pool = *device->d->pool;
    {
        brivelle::vk::Stream s(*device);
        addOnDevice(*device);
    }
    const size_t allocations = pool.allocationCount();
    for (int i = 0; i < 3; i++)
        addOnDevice(*device);
    EXPECT_EQ(pool.allocationCount(), allocations);
    EXPECT_EQ(pool.liveBytes(), 0u);
}

TEST_F(GpuTest, AllocationFailureIsReportedNotFatal)
{
    brivelle::vk::BufferPool &pool = *device->d->pool;
    pool.trim();
    pool.setAllocationCap(1);
    brivelle::vk::Stream s(*device);
    brivelle::vk::Tensor t;
    EXPECT_FALSE(brivelle::vk::allocate(s, t, 64, 64, 4));
    pool.setAllocationCap(0);
    EXPECT_TRUE(brivelle::vk::allocate(s, t, 64, 64, 4));
}

TEST_F(GpuTest, DispatchesAndCopiesBeyondLimitsAreRefused)
{
    brivelle::vk::Stream s(*device);
    brivelle::vk::Tensor a;
    ASSERT_TRUE(brivelle::vk::allocate(s, a, 4, 4, 1));
    const uint32_t local[3] = {32, 4, 1};
    const brivelle::vk::Pipeline *p = brivelle::vk::get_pipeline(*device, "place", 2, 36, local, {});
    ASSERT_NE(p, nullptr);
    const uint32_t tooMany = brivelle::vk::limits(*device).maxComputeWorkGroupCount[0];
    int32_t push[9] = {};
    if (tooMany < UINT32_MAX) {
        EXPECT_EQ(s.dispatch(*p, {a.buf, a.buf}, push, tooMany + 1u, 1, 1, 0), ncnn::ERROR_FAILED);
    }
    // A copy larger than its buffer is a failed transfer, not a lack of memory.
    std::vector<float> big(a.buf->size / sizeof(float) + 1);
    EXPECT_EQ(s.upload(big.data(), big.size() * sizeof(float), a.buf), ncnn::ERROR_UPLOAD_FAILED);
    EXPECT_EQ(s.download(a.buf, big.size() * sizeof(float), big.data()), ncnn::ERROR_UPLOAD_FAILED);
    const uint32_t hugeLocal[3] = {brivelle::vk::limits(*device).maxComputeWorkGroupInvocations + 1u, 1, 1};
    EXPECT_EQ(brivelle::vk::get_pipeline(*device, "place", 2, 36, hugeLocal, {}), nullptr);
    EXPECT_EQ(brivelle::vk::get_pipeline(*device, "no_such_shader", 2, 32, local, {}), nullptr);
    EXPECT_EQ(s.finish(), 0);
}

} // namespace
