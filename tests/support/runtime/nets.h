#pragma once

// Written models loaded into a Net and run through an Extractor, on the CPU or a device.

#include "support/runtime/models.h"

#include <ncnn/mat.h>
#include <ncnn/net.h>

#include <string>

namespace rtest {

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

} // namespace rtest
