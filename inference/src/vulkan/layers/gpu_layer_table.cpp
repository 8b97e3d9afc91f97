// Finding an operator's GPU form. Each entry is defined in its operator's file; the table is generated.
#include "gpu_layer.h"

// From the layers/*_vulkan.cpp files: kGpuLayers.
#include "gpu_layers_table.inc"

namespace brivelle::vk {

const GpuLayerEntry *find_gpu_layer(const std::string &type)
{
    for (const GpuLayerEntry *e : kGpuLayers)
        if (type == e->type)
            return e;
    return nullptr;
}

bool runs_on_gpu(const ncnn::Layer &layer, std::string *why)
{
    const GpuLayerEntry *e = find_gpu_layer(layer.type);
    const char *reason = e ? e->unsupported(layer) : "no GPU form of this type";
    if (reason && why)
        *why = reason;
    return !reason;
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
