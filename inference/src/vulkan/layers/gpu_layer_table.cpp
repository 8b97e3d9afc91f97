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

bool supports_on_gpu(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &in, const ncnn::Shape &out,
                     std::string &why)
{
    const GpuLayerEntry *e = find_gpu_layer(layer.type);
    if (!e) {
        why = "no GPU form of this type";
        return false;
    }
    return !e->supports || e->supports(layer, in, out, why) == 0;
}

bool GpuLayer::folds(const std::vector<const ncnn::Layer *> &, const ncnn::Layer &) const
{
    return false;
}

int GpuLayer::forwardFolded(Stream &s, const std::vector<const Tensor *> &in,
                            const std::vector<FoldedLayer> &folded, Tensor &out) const
{
    return folded.empty() ? forward(s, in, out) : ncnn::ERROR_FAILED;
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
