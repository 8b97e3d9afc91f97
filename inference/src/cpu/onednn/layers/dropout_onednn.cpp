// Dropout at inference: a multiplication by its scale (1 by default).
#include "cpu/onednn/lowering.h"
#include "layers/dropout.h"

namespace brivelle::onednn {

namespace {

PostOp eltwise(const ncnn::Layer &layer)
{
    return eltwisePostOp(dnnl::algorithm::eltwise_linear, static_cast<const ncnn::Dropout &>(layer).scale,
                         0.f);
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

extern const OnednnOperator dropout_onednn{"Dropout", oneInput, fuse, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
