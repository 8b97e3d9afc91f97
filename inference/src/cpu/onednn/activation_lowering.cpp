// The element-wise family's shared pieces: each operator's file (relu, clip, sigmoid, swish, dropout) names
// its oneDNN eltwise algorithm and parameters, alone or folded into the convolution before it.

#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

int oneInput(const ncnn::Layer &layer, const std::vector<Shape> &, const Shape &, std::string &why)
{
    if (layer.bottoms.size() == 1)
        return 0;
    why = "one input expected";
    return ncnn::ERROR_UNSUPPORTED_LAYER;
}

int lowerEltwise(LoweringContext &ctx, const Node &node, const PostOp &e, std::string &)
{
    const dnnl::eltwise_forward::primitive_desc pd(
        dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, e.alg, ctx.desc(node.out), e.alpha,
                                    e.beta),
        ctx.attributes(), cpuEngine());
    ctx.primitiveStep(dnnl::eltwise_forward(pd),
                      {ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)});
    return 0;
}

} // namespace brivelle::onednn
