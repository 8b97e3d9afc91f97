// A network run under Khronos' validation layer reports no error.
#include "support/runtime/gpu.h"
#include "support/runtime/nets.h"
#include "support/runtime/random.h"

#include "vulkan/device.h"

namespace {

TEST(VulkanValidation, NetworkRunsWithoutValidationErrors)
{
    setenv("BRIVELLE_VULKAN_VALIDATION", "1", 1);
    rtest::selectTestDriver();
    ncnn::create_gpu_instance();
    if (ncnn::get_gpu_count() == 0) {
        ncnn::destroy_gpu_instance();
        GTEST_SKIP() << "no Vulkan device";
    }
    if (!brivelle::vk::validation_enabled()) {
        ncnn::destroy_gpu_instance();
        GTEST_SKIP() << "VK_LAYER_KHRONOS_validation is not installed (Debian: vulkan-validationlayers)";
    }
    {
        ncnn::Net net;
        // Wide enough for Winograd; the pooled and CPU-run layers below cover the other paths.
        ASSERT_EQ(rtest::loadNet(net, rtest::rrdbnet(1, 16, 16, 21), ncnn::get_gpu_device(0)), 0);
        ncnn::Mat out;
        EXPECT_EQ(rtest::extract(net, rtest::randomMat(5, 4, 3, 22), out), 0);
        EXPECT_EQ(rtest::extract(net, rtest::randomMat(3, 6, 3, 23), out), 0);
        ncnn::Net shuffle;
        ASSERT_EQ(rtest::loadNet(shuffle, rtest::srvgg(1, 4, 2, 24), ncnn::get_gpu_device(0)), 0);
        EXPECT_EQ(rtest::extract(shuffle, rtest::randomMat(5, 4, 3, 25), out), 0);
        rtest::ModelWriter pooled(26);
        pooled.input("data");
        pooled.conv("c", "data", "c", 3, 4, 3);
        pooled.layer("Sigmoid", "cpu", {"c"}, {"s"});
        pooled.layer("Pooling", "avg", {"s"}, {"output"}, "0=1 1=2 2=2");
        ncnn::Net pooling;
        ASSERT_EQ(rtest::loadNet(pooling, pooled, ncnn::get_gpu_device(0)), 0);
        EXPECT_EQ(rtest::extract(pooling, rtest::randomMat(7, 5, 3, 27), out), 0);
    }
    // Destroying the device reports any object left alive.
    ncnn::destroy_gpu_instance();
    EXPECT_EQ(brivelle::vk::validation_error_count(), 0);
}

TEST(VulkanValidation, PlantedMisuseIsCounted)
{
    setenv("BRIVELLE_VULKAN_VALIDATION", "1", 1);
    rtest::selectTestDriver();
    ncnn::create_gpu_instance();
    if (ncnn::get_gpu_count() == 0 || !brivelle::vk::validation_enabled()) {
        ncnn::destroy_gpu_instance();
        GTEST_SKIP() << "no Vulkan device or no validation layer";
    }
    // A buffer of size zero is invalid usage; the layer must report it, or the clean run above proves
    // nothing.
    const int before = brivelle::vk::validation_error_count();
    VkBufferCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
    info.size = 0;
    info.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT;
    VkBuffer buffer = VK_NULL_HANDLE;
    const VkDevice device = brivelle::vk::handle(*ncnn::get_gpu_device(0));
    if (brivelle::vk::vkCreateBuffer(device, &info, nullptr, &buffer) == VK_SUCCESS && buffer)
        brivelle::vk::vkDestroyBuffer(device, buffer, nullptr);
    EXPECT_GT(brivelle::vk::validation_error_count(), before);
    ncnn::destroy_gpu_instance();
}

} // namespace
