// The table of operators that run on the GPU; each entry is defined in its operator's file.
#include "gpu_layer.h"

#include <cstring>

namespace brivelle::vk {

extern const GpuLayerEntry input_vulkan, split_vulkan, dropout_vulkan, noop_vulkan, convolution_vulkan,
    eltwise_vulkan, binaryop_vulkan, prelu_vulkan, concat_vulkan, interp_vulkan, pixelshuffle_vulkan,
    reorg_vulkan, padding_vulkan, crop_vulkan, pooling_vulkan;

namespace {

const GpuLayerEntry *const table[] = {
    &input_vulkan,        &split_vulkan,    &dropout_vulkan, &noop_vulkan,   &convolution_vulkan,
    &eltwise_vulkan,      &binaryop_vulkan, &prelu_vulkan,   &concat_vulkan, &interp_vulkan,
    &pixelshuffle_vulkan, &reorg_vulkan,    &padding_vulkan, &crop_vulkan,   &pooling_vulkan};

} // namespace

const GpuLayerEntry *find_gpu_layer(const std::string &type)
{
    for (const GpuLayerEntry *e : table)
        if (type == e->type)
            return e;
    return nullptr;
}

std::string why_not_on_gpu(const ncnn::Layer &layer)
{
    const GpuLayerEntry *e = find_gpu_layer(layer.type);
    if (!e)
        return "no GPU form of " + layer.type;
    const char *why = e->unsupported(layer);
    return why ? std::string(why) : std::string();
}

const char *always_supported(const ncnn::Layer &)
{
    return nullptr;
}

bool GpuLayer::outputShape(const std::vector<const Tensor *> &in, int &w, int &h, int &c) const
{
    std::vector<ncnn::Shape> inShapes, outShapes(layer_.tops.size());
    for (const Tensor *t : in)
        inShapes.push_back(ncnn::Shape{3, t->w, t->h, t->c});
    if (!layer_.infer_shape(inShapes, outShapes) || outShapes.size() != 1 || outShapes[0].dims != 3)
        return false;
    w = outShapes[0].w;
    h = outShapes[0].h;
    c = outShapes[0].c;
    return true;
}

} // namespace brivelle::vk
