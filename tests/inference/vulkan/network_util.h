#pragma once

#include "test_models.h"
#include "vulkan_test_util.h"

#include <ncnn/mat.h>
#include <ncnn/net.h>

#include <string>
#include <vector>

namespace vktest {

inline ncnn::Mat randomMat(int w, int h, int c, unsigned seed)
{
    ncnn::Mat m(w, h, c);
    const std::vector<float> v = randomVector(size_t(w) * h * c, seed);
    for (int q = 0; q < c; q++)
        std::copy(v.begin() + size_t(q) * w * h, v.begin() + size_t(q + 1) * w * h,
                  m.channel(q).operator float *());
    return m;
}

inline std::vector<float> flatten(const ncnn::Mat &m)
{
    std::vector<float> v;
    for (int q = 0; q < m.c; q++) {
        const float *p = m.channel(q);
        v.insert(v.end(), p, p + size_t(m.w) * m.h);
    }
    return v;
}

// Loads a model into net, on the device when one is given.
inline int loadNet(ncnn::Net &net, const ModelWriter &m, const ncnn::VulkanDevice *device)
{
    net.opt.use_vulkan_compute = device != nullptr;
    net.opt.use_fp16_packed = false;
    net.opt.use_fp16_storage = false;
    net.opt.use_fp16_arithmetic = false;
    net.opt.lightmode = true;
    net.opt.num_threads = 2;
    net.set_vulkan_device(device);
    const std::string param = m.param();
    if (net.load_param_mem(param.c_str()) != 0)
        return -1;
    return net.load_model_mem(m.bin().data(), m.bin().size());
}

inline int extract(const ncnn::Net &net, const ncnn::Mat &in, ncnn::Mat &out, const char *input = "data",
                   const char *output = "output")
{
    ncnn::Extractor ex = net.create_extractor();
    ex.set_light_mode(true);
    if (ex.input(input, in) != 0)
        return -1;
    return ex.extract(output, out);
}

} // namespace vktest
