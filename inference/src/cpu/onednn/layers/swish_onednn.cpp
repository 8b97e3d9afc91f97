// Swish: oneDNN's swish function with alpha 1, x * sigmoid(x).
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

namespace {

PostOp eltwise(const ncnn::Layer &)
{
    return eltwisePostOp(dnnl::algorithm::eltwise_swish, 1.f, 0.f);
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

extern const OnednnOperator swish_onednn{"Swish", oneInput, fuse, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
