#pragma once

// The convolution lowering's pieces that other convolution algorithms (Winograd of our own, say) build on:
// a layer resolved against its input shape, and the step that binds a primitive to it.

#include "cpu/onednn/lowering.h"
#include "layers/convolution.h"

#include <array>

namespace brivelle::onednn {

struct ConvolutionLayer {
    const ncnn::Convolution *op = nullptr;
    int src = -1; // blob
    int dst = -1;
    Shape in;
    Shape out;
    std::array<int, 4> pads{}; // top, left, bottom, right
    dnnl::primitive_attr attr; // post-ops folded in, user scratchpad
    dnnl::memory::desc weightsAny;
    dnnl::memory::desc bias; // zero when the layer has none
    bool hasBias = false;
};

// Padding applied for an input size, ncnn's SAME_UPPER / SAME_LOWER resolved: top, left, bottom, right.
std::array<int, 4> convolutionPads(const ncnn::Convolution &op, Shape in);
// The loaded fp32 weights (O x I x KH x KW) and bias (null without one), read in place: the loaded layer
// outlives every plan compiled from it.
const float *convolutionWeights(const ncnn::Convolution &op);
const float *convolutionBias(const ncnn::Convolution &op);

// A oneDNN convolution of `alg` for the layer with the given source layout and the plan's destination.
dnnl::convolution_forward::primitive_desc convolutionDesc(const ConvolutionLayer &layer, dnnl::algorithm alg,
                                                          const dnnl::memory::desc &src,
                                                          const dnnl::memory::desc &dst);

// Appends the primitive's step: the source reordered when the primitive wants another layout, the
// residual operands of the post-ops bound, the weights packed once.
void addConvolutionStep(LoweringContext &ctx, const Node &node, const ConvolutionLayer &layer,
                        const dnnl::convolution_forward::primitive_desc &pd);

// Another algorithm than direct convolution for one layer. Returns whether it lowered the layer, leaving it
// to the next one otherwise; each decides from the layer's shape whether it beats direct convolution on
// this machine.
using ConvolutionAlgorithm = bool (*)(LoweringContext &ctx, const Node &node, const ConvolutionLayer &layer);

// Our Winograd F(4,3) on the plan's layout, for the shapes where it beats direct convolution.
bool winogradConvolution(LoweringContext &ctx, const Node &node, const ConvolutionLayer &layer);
// Whether that Winograd takes a layer of this geometry and shape (when the plan tries it).
bool winogradTakes(const ncnn::Convolution &op, const std::array<int, 4> &pads, Shape in, Shape out);

// gemm and reference kernels: an order of magnitude behind a direct kernel for a 3x3 convolution.
bool slowConvolutionKernel(const char *implementation);

} // namespace brivelle::onednn
