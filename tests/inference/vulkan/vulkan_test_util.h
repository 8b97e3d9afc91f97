#pragma once

#include "ncnn/gpu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <sys/stat.h>
#include <vector>

namespace vktest {

// Tests run on Mesa's software driver unless the environment already chose one.
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

inline std::vector<float> randomVector(size_t n, unsigned seed, float lo = -1.f, float hi = 1.f)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (float &x : v)
        x = dist(rng);
    return v;
}

// The largest difference relative to the reference's magnitude (at least 1).
inline double relativeError(const std::vector<float> &got, const std::vector<float> &want)
{
    if (got.size() != want.size())
        return INFINITY;
    double scale = 1.0;
    for (float w : want)
        scale = std::max(scale, double(std::fabs(w)));
    double worst = 0.0;
    for (size_t i = 0; i < got.size(); i++) {
        const double d = std::fabs(double(got[i]) - double(want[i]));
        if (!(d == d))
            return INFINITY;
        worst = std::max(worst, d);
    }
    return worst / scale;
}

constexpr double kTolerance = 1e-4;

} // namespace vktest
