// Clip: oneDNN's clip.
#include "cpu/onednn/lowering.h"
#include "layers/clip.h"

namespace brivelle::onednn {

namespace {

PostOp eltwise(const ncnn::Layer &layer)
{
    const auto &clip = static_cast<const ncnn::Clip &>(layer);
    return eltwisePostOp(dnnl::algorithm::eltwise_clip, clip.min, clip.max);
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

extern const OnednnOperator clip_onednn{"Clip", oneInput, fuse, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
