#include "cpu/onednn/lowering.h"
#include "layers/binaryop.h"

#include <cfloat>

namespace brivelle::onednn {

using dnnl::algorithm;

namespace {

// 0 add, 1 sub, 2 mul, 3 div, 4 max, 5 min, 6 pow, 7 rsub, 8 rdiv.
std::string check(const FastOp &op)
{
    const size_t inputs = op.bottoms.size();
    if (op.withScalar ? (inputs != 1 || op.operation > 7 || op.operation == 6)
                      : (inputs != 2 || op.operation == 6 || op.operation > 8))
        return "operation " + std::to_string(op.operation);
    return {};
}

std::string shape(const FastOp &op, const std::vector<Shape> &in, Shape &out, double &)
{
    if (!op.withScalar && !(in[1] == in[0]))
        return "broadcasting is left to the reference path";
    if (op.withScalar && op.operation == 3 && op.scalar == 0.f)
        return "division by a zero scalar";
    out = in[0];
    return {};
}

// The operation with a scalar as one oneDNN eltwise algorithm.
PostOp scalarEltwise(const FastOp &op)
{
    const float s = op.scalar;
    switch (op.operation) {
    case 0:
        return eltwisePostOp(algorithm::eltwise_linear, 1.f, s);
    case 1:
        return eltwisePostOp(algorithm::eltwise_linear, 1.f, -s);
    case 2:
        return eltwisePostOp(algorithm::eltwise_linear, s, 0.f);
    case 3:
        return eltwisePostOp(algorithm::eltwise_linear, 1.f / s, 0.f);
    case 4:
        return eltwisePostOp(algorithm::eltwise_clip, s, FLT_MAX);
    case 5:
        return eltwisePostOp(algorithm::eltwise_clip, -FLT_MAX, s);
    default: // 7, rsub
        return eltwisePostOp(algorithm::eltwise_linear, -1.f, s);
    }
}

std::vector<PostOp> fuse(const FastOp &op, int position, int other)
{
    if (op.withScalar)
        return {scalarEltwise(op)};
    if (other < 0)
        return {};
    const bool first = position == 0;
    switch (op.operation) {
    case 0:
        return {binaryPostOp(algorithm::binary_add, other)};
    case 2:
        return {binaryPostOp(algorithm::binary_mul, other)};
    case 4:
        return {binaryPostOp(algorithm::binary_max, other)};
    case 5:
        return {binaryPostOp(algorithm::binary_min, other)};
    case 1: // t - other, or other - t
    case 7: // rsub: second - first
        if (first == (op.operation == 1))
            return {binaryPostOp(algorithm::binary_sub, other)};
        return {eltwisePostOp(algorithm::eltwise_linear, -1.f, 0.f),
                binaryPostOp(algorithm::binary_add, other)};
    case 3: // t / other only
    case 8:
        if (first == (op.operation == 3))
            return {binaryPostOp(algorithm::binary_div, other)};
        return {};
    default:
        return {};
    }
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    const FastOp &op = ctx.op(node.op);
    const auto &md = ctx.desc(node.out);
    if (op.withScalar) {
        const PostOp e = scalarEltwise(op);
        const dnnl::eltwise_forward::primitive_desc pd(
            dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, e.alg, md, e.alpha, e.beta),
            ctx.attributes(), cpuEngine());
        ctx.primitiveStep(dnnl::eltwise_forward(pd),
                          {ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)});
        return {};
    }
    static const algorithm algs[] = {algorithm::binary_add, algorithm::binary_sub, algorithm::binary_mul,
                                     algorithm::binary_div, algorithm::binary_max, algorithm::binary_min,
                                     algorithm::undef,      algorithm::binary_sub, algorithm::binary_div};
    const bool swap = op.operation == 7 || op.operation == 8;
    const dnnl::binary::primitive_desc pd(dnnl::binary::desc(algs[op.operation], md, md, md),
                                          ctx.attributes(), cpuEngine());
    ctx.primitiveStep(dnnl::binary(pd),
                      {ctx.bind(DNNL_ARG_SRC_0, node.in[swap ? 1 : 0]),
                       ctx.bind(DNNL_ARG_SRC_1, node.in[swap ? 0 : 1]), ctx.bind(DNNL_ARG_DST, node.out)});
    return {};
}

} // namespace

const OpLowering &binaryOpLowering()
{
    static const OpLowering lowering{check, shape, fuse, lower};
    return lowering;
}

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const auto &b = static_cast<const ncnn::BinaryOp &>(layer);
    op.type = OpType::BinaryOp;
    op.operation = b.op_type;
    op.withScalar = b.with_scalar != 0;
    op.scalar = b.b;
    return 0;
}

} // namespace

extern const OnednnOperator binaryop_onednn{"BinaryOp", describe};

} // namespace brivelle::onednn
