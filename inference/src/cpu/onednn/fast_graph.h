#pragma once

// The network as the oneDNN path sees it: plain operator records with their parameters already
// decoded, so that planning and fusion do not depend on how layers are stored by the loader.

#include <cstddef>
#include <string>
#include <vector>

namespace ncnn {
class Layer;
}

namespace brivelle::onednn {

enum class OpType {
    Input,
    Convolution,
    Split,
    Noop,
    Concat,
    Eltwise,
    BinaryOp,
    ReLU,
    Clip,
    Sigmoid,
    // An element-wise function that oneDNN computes as one eltwise algorithm: unaryAlgorithm names it.
    Unary,
    PReLU,
    Interp,
    PixelShuffle,
    Reorg,
    Pooling,
    // A layer without a oneDNN lowering: its reference implementation runs between its neighbours.
    Reference,
};

// ncnn's fused activation of Convolution: 0 none, 1 relu, 2 leaky relu (a = slope), 3 clip (a, b),
// 4 sigmoid, 5 mish, 6 hardswish (a = alpha, b = beta).
struct Activation {
    int type = 0;
    float a = 0.f;
    float b = 0.f;
};

struct FastOp {
    OpType type = OpType::Noop;
    std::string name;
    std::vector<int> bottoms;
    std::vector<int> tops;

    // Convolution. Negative padLeft values -233 / -234 are ncnn's SAME_UPPER / SAME_LOWER.
    int outChannels = 0;
    int kernelW = 1, kernelH = 1;
    int dilationW = 1, dilationH = 1;
    int strideW = 1, strideH = 1;
    int padLeft = 0, padRight = 0, padTop = 0, padBottom = 0;
    std::vector<float> weights; // O x I x KH x KW, unless sharedWeights points at them
    // The loaded model's own array, which outlives every plan compiled from it: no second copy.
    const float *sharedWeights = nullptr;
    size_t sharedWeightCount = 0;
    const float *weightData() const { return sharedWeights ? sharedWeights : weights.data(); }
    size_t weightCount() const { return sharedWeights ? sharedWeightCount : weights.size(); }
    std::vector<float> bias; // empty when the layer has none
    Activation activation;

    // Eltwise (0 product, 1 sum, 2 max) and BinaryOp (0 add, 1 sub, 2 mul, 3 div, 4 max, 5 min, 6 pow,
    // 7 rsub, 8 rdiv).
    int operation = 0;
    std::vector<float> coeffs;
    bool withScalar = false;
    float scalar = 0.f;

    // Unary: a dnnl::algorithm (eltwise_*) and its alpha and beta.
    int unaryAlgorithm = 0;
    float unaryAlpha = 0.f, unaryBeta = 0.f;

    // ReLU slope, Clip range, PReLU slopes (one, or one per channel).
    float slope = 0.f;
    float minValue = 0.f, maxValue = 0.f;
    std::vector<float> slopes;

    // Interp: 1 nearest, 2 bilinear, 3 bicubic; scales, or an output size when positive.
    int resizeType = 1;
    float heightScale = 1.f, widthScale = 1.f;
    int outHeight = 0, outWidth = 0;
    bool alignCorner = false;

    // PixelShuffle upscale factor / Reorg stride, and the channel order mode of both.
    int factor = 1;
    int mode = 0;

    // Concat axis (channels are axis 0 of a 3-D blob).
    int axis = 0;

    // Pooling: 0 max, 1 average; ncnn's pad mode (0 full with the ceil tail, 1 valid, 2 SAME_UPPER,
    // 3 SAME_LOWER), whether averages count the declared padding. Kernel, stride and pads as above.
    int poolingType = 0;
    bool globalPooling = false;
    int padMode = 0;
    bool countIncludePad = false;

    // The loaded layer, which outlives every plan compiled from it: a Reference op runs it, and other
    // lowerings hand it shapes they cannot take.
    const ncnn::Layer *layer = nullptr;
};

struct FastGraph {
    std::vector<FastOp> ops; // in execution order
    int blobCount = 0;
};

// 0 when the graph can run on this path, else ncnn::ERROR_UNSUPPORTED_LAYER with the reason in why.
int checkGraph(const FastGraph &graph, std::string &why);

} // namespace brivelle::onednn
