#pragma once

#include "modelbin.h"
#include "paramdict.h"

#include <ncnn/errors.h>
#include <ncnn/mat.h>
#include <ncnn/option.h>

#include <memory>
#include <string>
#include <vector>

namespace ncnn {

// The shape of a blob without its data: dims 1..3 as in Mat (c == 1 below 3 dims).
struct Shape {
    int dims = 0;
    int w = 0, h = 0, c = 0;
    bool operator==(const Shape &o) const { return dims == o.dims && w == o.w && h == o.h && c == o.c; }
};
inline Shape shape_of(const Mat &m)
{
    return Shape{m.dims, m.w, m.h, m.c};
}

// What a layer is to a plan. The layer says it once; the planner and the backends only read it.
enum class Role {
    // A blob the caller sets.
    Input,
    // Every top holds its bottom's data unchanged (bottom i, or the last bottom for later tops): Split, Noop,
    // Dropout of scale 1.
    Alias,
    // Joins its 3-D inputs along channels into its one top: a planner may have the inputs written into one
    // buffer instead of copying them.
    Concat,
    // a * bottom 0 + b * bottom 1 of two blobs of one shape (sum_weights): the layer producing either
    // operand may fold it in as it writes its result.
    WeightedSum,
    Compute,
};

// One operation of a network. The life of a layer:
//   load_param(ParamDict) -> load_model(ModelBin) -> create_pipeline(Option) -> forward ... ->
//   destroy_pipeline.
// Capabilities are fixed in the constructor and never change after load_param. Parameters and weights are
// public members so that other backends (oneDNN, Vulkan) can compile the same graph from them.
// forward() is const and re-entrant: several extractors may run one layer at once.
class Layer {
public:
    Layer();
    virtual ~Layer();

    // Parameters; a failure returns non-zero with a message in err naming the key and the bad value.
    virtual int load_param(const ParamDict &pd, std::string &err);
    virtual int load_model(const ModelBin &mb, std::string &err);
    virtual int create_pipeline(const Option &opt);
    virtual int destroy_pipeline(const Option &opt);

    // One bottom, one top. Default: clone then forward_inplace when the layer works in place.
    virtual int forward(const Mat &bottom_blob, Mat &top_blob, const Option &opt) const;
    // Several bottoms or tops. Default: the one-blob form.
    virtual int forward(const std::vector<Mat> &bottom_blobs, std::vector<Mat> &top_blobs,
                        const Option &opt) const;
    virtual int forward_inplace(Mat &bottom_top_blob, const Option &opt) const;
    virtual int forward_inplace(std::vector<Mat> &bottom_top_blobs, const Option &opt) const;

    // Blob counts this layer accepts, checked while the .param text is parsed: 0, or ERROR_BAD_MODEL.
    virtual int check_blob_counts(int bottom_count, int top_count, std::string &err) const;
    // Output shapes for these input shapes without computing anything; false when the inputs do not fit.
    // Default: every top has the first bottom's shape.
    virtual bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const;
    // Multiply-accumulates of one forward pass (0 for layers whose cost is only memory traffic).
    virtual double macs(const std::vector<Shape> &bottom_shapes, const std::vector<Shape> &top_shapes) const;
    // What the layer is to a plan, read by the planner and by every backend (see Role). Default: Compute.
    virtual Role role() const;
    // A weighted sum's coefficients: its top is a * bottom 0 + b * bottom 1. Default: 1 and 1.
    virtual void sum_weights(float &a, float &b) const;

    // Capabilities.
    bool one_blob_only = false;
    bool support_inplace = false;

    std::string type;
    std::string name;
    std::vector<int> bottoms;
    std::vector<int> tops;
};

using layer_creator_func = Layer *(*)();

// The reference layer of a type name (the first token of a .param layer line); null when unknown.
std::unique_ptr<Layer> create_layer(const std::string &type);
// Every registered type name, in registration order.
std::vector<std::string> layer_type_names();

// Shared by the layers with a fused activation (Convolution, ConvolutionDepthWise):
// 0 none, 1 ReLU, 2 leaky ReLU (slope), 3 clip (min, max), 4 sigmoid, 5 mish, 6 hard swish (alpha, beta).
float activate(float v, int activation_type, const std::vector<float> &activation_params);
// 0, or ERROR_BAD_MODEL naming the bad activation type or parameter count.
int check_activation(int activation_type, const std::vector<float> &activation_params, std::string &err);

// The padding before and after one axis of `size` pixels under ncnn's "same" modes (Convolution's pad_left
// -233 / -234, Pooling's pad_mode 2 / 3): the output keeps ceil(size / stride) pixels and the odd padding
// pixel goes after (upper) or before (lower). Every backend resolves the modes here.
void same_padding(int size, int kernel_extent, int stride, bool upper, int &before, int &after);

} // namespace ncnn

#define BRIVELLE_DEFINE_LAYER_CREATOR(name)                                                                  \
    ::ncnn::Layer *name##_layer_creator()                                                                    \
    {                                                                                                        \
        return new name;                                                                                     \
    }
