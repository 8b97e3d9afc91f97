// ReLU, leaky below zero with its slope: oneDNN's relu.
#include "cpu/onednn/lowering.h"
#include "layers/relu.h"

namespace brivelle::onednn {

namespace {

PostOp eltwise(const ncnn::Layer &layer)
{
    return eltwisePostOp(dnnl::algorithm::eltwise_relu, static_cast<const ncnn::ReLU &>(layer).slope, 0.f);
}

std::vector<PostOp> fuse(const ncnn::Layer &layer, int, int)
{
    return {eltwise(layer)};
}

int lower(LoweringContext &ctx, const Node &node, std::string &why)
{
    return lowerEltwise(ctx, node, eltwise(*node.layer), why);
}

} // namespace

extern const OnednnOperator relu_onednn{"ReLU", oneInput, fuse, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
