// The element-wise functions, ReLU (leaky with a slope), Clip, Sigmoid and the Unary ones their files
// describe: one oneDNN eltwise algorithm each, alone or folded into the convolution before them.

#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

using dnnl::algorithm;

namespace {

std::string check(const FastOp &op)
{
    return op.bottoms.size() == 1 ? std::string() : "one input expected";
}

std::string sameShape(const FastOp &, const std::vector<Shape> &in, Shape &out, double &)
{
    out = in[0];
    return {};
}

PostOp asEltwise(const FastOp &op)
{
    if (op.type == OpType::ReLU)
        return eltwisePostOp(algorithm::eltwise_relu, op.slope, 0.f);
    if (op.type == OpType::Clip)
        return eltwisePostOp(algorithm::eltwise_clip, op.minValue, op.maxValue);
    if (op.type == OpType::Unary)
        return eltwisePostOp(static_cast<algorithm>(op.unaryAlgorithm), op.unaryAlpha, op.unaryBeta);
    return eltwisePostOp(algorithm::eltwise_logistic, 0.f, 0.f);
}

std::vector<PostOp> fuse(const FastOp &op, int, int)
{
    return {asEltwise(op)};
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    const PostOp e = asEltwise(ctx.op(node.op));
    const dnnl::eltwise_forward::primitive_desc pd(
        dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, e.alg, ctx.desc(node.out), e.alpha,
                                    e.beta),
        ctx.attributes(), cpuEngine());
    ctx.primitiveStep(dnnl::eltwise_forward(pd),
                      {ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)});
    return {};
}

} // namespace

const OpLowering &activationLowering()
{
    static const OpLowering lowering{check, sameShape, fuse, lower};
    return lowering;
}

} // namespace brivelle::onednn
