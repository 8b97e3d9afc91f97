#pragma once

// The GPU tests' device: Mesa's software driver unless the environment chose one, a fresh instance for
// each test, a skip where there is no device.

#include "ncnn/gpu.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace rtest {

inline void selectTestDriver()
{
    if (std::getenv("VK_ICD_FILENAMES") || std::getenv("VK_DRIVER_FILES"))
        return;
    const char *icd = std::getenv("BRIVELLE_TEST_VULKAN_ICD");
    const char *path = icd ? icd : "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";
    struct stat st;
    if (stat(path, &st) == 0)
        setenv("VK_ICD_FILENAMES", path, 0);
}

// Creates the GPU instance for each test and destroys it afterwards; skips without a device.
class GpuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        selectTestDriver();
        ncnn::create_gpu_instance();
        if (ncnn::get_gpu_count() == 0)
            GTEST_SKIP() << "no Vulkan device (install mesa-vulkan-drivers for lavapipe)";
        device = ncnn::get_gpu_device(ncnn::get_default_gpu_index());
        ASSERT_NE(device, nullptr);
    }
    void TearDown() override { ncnn::destroy_gpu_instance(); }

    ncnn::VulkanDevice *device = nullptr;
};

} // namespace rtest
