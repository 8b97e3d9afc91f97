#include "layer.h"

#include <algorithm>
#include <cmath>

namespace ncnn {

Layer::Layer() = default;
Layer::~Layer() = default;

int Layer::load_param(const ParamDict &, std::string &)
{
    return 0;
}
int Layer::load_model(const ModelBin &, std::string &)
{
    return 0;
}
int Layer::create_pipeline(const Option &)
{
    return 0;
}
int Layer::destroy_pipeline(const Option &)
{
    return 0;
}

int Layer::forward(const Mat &bottom_blob, Mat &top_blob, const Option &opt) const
{
    if (!support_inplace)
        return ERROR_FAILED;
    top_blob = bottom_blob.clone(opt.blob_allocator);
    if (top_blob.empty())
        return ERROR_OUT_OF_MEMORY;
    return forward_inplace(top_blob, opt);
}

int Layer::forward(const std::vector<Mat> &bottom_blobs, std::vector<Mat> &top_blobs, const Option &opt) const
{
    if (!one_blob_only || bottom_blobs.size() != 1 || top_blobs.size() != 1)
        return ERROR_FAILED;
    return forward(bottom_blobs[0], top_blobs[0], opt);
}

int Layer::forward_inplace(Mat &, const Option &) const
{
    return ERROR_FAILED;
}
int Layer::forward_inplace(std::vector<Mat> &bottom_top_blobs, const Option &opt) const
{
    if (!one_blob_only || bottom_top_blobs.size() != 1)
        return ERROR_FAILED;
    return forward_inplace(bottom_top_blobs[0], opt);
}

int Layer::check_blob_counts(int bottom_count, int top_count, std::string &err) const
{
    if (one_blob_only && (bottom_count != 1 || top_count != 1)) {
        err = "expected 1 input and 1 output, got " + std::to_string(bottom_count) + " and " +
              std::to_string(top_count);
        return ERROR_BAD_MODEL;
    }
    if (bottom_count < 1 || top_count < 1) {
        err = "expected at least 1 input and 1 output, got " + std::to_string(bottom_count) + " and " +
              std::to_string(top_count);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

bool Layer::infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const
{
    if (bottom_shapes.empty())
        return false;
    for (Shape &s : top_shapes)
        s = bottom_shapes[0];
    return true;
}

double Layer::macs(const std::vector<Shape> &, const std::vector<Shape> &) const
{
    return 0.0;
}

Role Layer::role() const
{
    return Role::Compute;
}

void Layer::sum_weights(float &a, float &b) const
{
    a = b = 1.f;
}

float activate(float v, int activation_type, const std::vector<float> &p)
{
    switch (activation_type) {
    case 1:
        return v > 0.f ? v : 0.f;
    case 2:
        return v > 0.f ? v : v * p[0];
    case 3:
        return v < p[0] ? p[0] : (v > p[1] ? p[1] : v);
    case 4:
        return 1.f / (1.f + std::exp(-v));
    case 5:
        return v * std::tanh(std::log1p(std::exp(v)));
    case 6: {
        const float alpha = p[0], beta = p[1];
        const float lower = -beta / alpha, upper = 1.f / alpha + lower;
        if (v < lower)
            return 0.f;
        if (v > upper)
            return v;
        return v * (v * alpha + beta);
    }
    default:
        return v;
    }
}

void same_padding(int size, int kernel_extent, int stride, bool upper, int &before, int &after)
{
    const int out = (size + stride - 1) / stride;
    const int total = std::max(0, (out - 1) * stride + kernel_extent - size);
    before = upper ? total / 2 : total - total / 2;
    after = total - before;
}

int check_activation(int activation_type, const std::vector<float> &p, std::string &err)
{
    static const size_t needed[] = {0, 0, 1, 2, 0, 0, 2};
    if (activation_type < 0 || activation_type > 6) {
        err = "key 9 (activation_type): expected 0..6, got " + std::to_string(activation_type);
        return ERROR_BAD_MODEL;
    }
    if (p.size() < needed[activation_type]) {
        err = "key 10 (activation_params): activation " + std::to_string(activation_type) + " expects " +
              std::to_string(needed[activation_type]) + " values, got " + std::to_string(p.size());
        return ERROR_BAD_MODEL;
    }
    if (activation_type == 6 && p[0] == 0.f) {
        err = "key 10 (activation_params): hard swish alpha must not be 0";
        return ERROR_BAD_MODEL;
    }
    return 0;
}

} // namespace ncnn

// Generated from the layer list in sources.cmake: one creator per reference layer file.
#include "layer_registry.inc"

namespace ncnn {

std::unique_ptr<Layer> create_layer(const std::string &type)
{
    for (const LayerRegistryEntry &e : kLayerRegistry) {
        if (type == e.name) {
            std::unique_ptr<Layer> layer(e.creator());
            layer->type = type;
            return layer;
        }
    }
    return nullptr;
}

std::vector<std::string> layer_type_names()
{
    std::vector<std::string> names;
    for (const LayerRegistryEntry &e : kLayerRegistry)
        names.emplace_back(e.name);
    return names;
}

} // namespace ncnn
