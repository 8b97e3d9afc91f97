#include "cpu/onednn/lowering.h"
#include "layers/binaryop.h"

#include <cfloat>

namespace brivelle::onednn {

using dnnl::algorithm;

namespace {

const ncnn::BinaryOp &binaryOp(const ncnn::Layer &layer)
{
    return static_cast<const ncnn::BinaryOp &>(layer);
}

// 0 add, 1 sub, 2 mul, 3 div, 4 max, 5 min, 6 pow, 7 rsub, 8 rdiv.
int supportsParameters(const ncnn::Layer &layer, std::string &why)
{
    const ncnn::BinaryOp &op = binaryOp(layer);
    const size_t inputs = layer.bottoms.size();
    if (op.op_type < 0 || op.op_type == 6 || op.op_type > (op.with_scalar ? 7 : 8) ||
        inputs != (op.with_scalar ? 1u : 2u)) {
        why = "operation " + std::to_string(op.op_type);
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int supports(const ncnn::Layer &layer, const std::vector<Shape> &in, const Shape &, std::string &why)
{
    if (const int ret = supportsParameters(layer, why); ret != 0 || in.empty())
        return ret;
    const ncnn::BinaryOp &op = binaryOp(layer);
    if (!op.with_scalar && !(in[1] == in[0])) {
        why = "broadcasting is left to the reference path";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    if (op.with_scalar && op.op_type == 3 && op.b == 0.f) {
        why = "division by a zero scalar";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

// The operation with a scalar as one oneDNN eltwise algorithm.
PostOp scalarEltwise(const ncnn::BinaryOp &op)
{
    const float s = op.b;
    switch (op.op_type) {
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

std::vector<PostOp> fuse(const ncnn::Layer &layer, int position, int other)
{
    const ncnn::BinaryOp &op = binaryOp(layer);
    if (op.with_scalar)
        return {scalarEltwise(op)};
    if (other < 0)
        return {};
    const bool first = position == 0;
    switch (op.op_type) {
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
        if (first == (op.op_type == 1))
            return {binaryPostOp(algorithm::binary_sub, other)};
        return {eltwisePostOp(algorithm::eltwise_linear, -1.f, 0.f),
                binaryPostOp(algorithm::binary_add, other)};
    case 3: // t / other only
    case 8:
        if (first == (op.op_type == 3))
            return {binaryPostOp(algorithm::binary_div, other)};
        return {};
    default:
        return {};
    }
}

int lower(LoweringContext &ctx, const Node &node, std::string &why)
{
    const ncnn::BinaryOp &op = binaryOp(*node.layer);
    const auto &md = ctx.desc(node.out);
    if (op.with_scalar)
        return lowerEltwise(ctx, node, scalarEltwise(op), why);
    static const algorithm algs[] = {algorithm::binary_add, algorithm::binary_sub, algorithm::binary_mul,
                                     algorithm::binary_div, algorithm::binary_max, algorithm::binary_min,
                                     algorithm::undef,      algorithm::binary_sub, algorithm::binary_div};
    const bool swap = op.op_type == 7 || op.op_type == 8;
    const dnnl::binary::primitive_desc pd(dnnl::binary::desc(algs[op.op_type], md, md, md), ctx.attributes(),
                                          cpuEngine());
    ctx.primitiveStep(dnnl::binary(pd),
                      {ctx.bind(DNNL_ARG_SRC_0, node.in[swap ? 1 : 0]),
                       ctx.bind(DNNL_ARG_SRC_1, node.in[swap ? 0 : 1]), ctx.bind(DNNL_ARG_DST, node.out)});
    return 0;
}

} // namespace

extern const OnednnOperator binaryop_onednn{"BinaryOp", supports, fuse, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
