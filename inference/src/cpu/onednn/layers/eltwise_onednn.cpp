#include "cpu/onednn/lowering.h"
#include "layers/eltwise.h"

namespace brivelle::onednn {

using dnnl::algorithm;

namespace {

const ncnn::Eltwise &eltwise(const ncnn::Layer &layer)
{
    return static_cast<const ncnn::Eltwise &>(layer);
}

int supports(const ncnn::Layer &layer, const std::vector<Shape> &, const Shape &, std::string &why)
{
    const ncnn::Eltwise &op = eltwise(layer);
    if (layer.bottoms.size() < 2 || op.op_type < 0 || op.op_type > 2) {
        why = "operation " + std::to_string(op.op_type);
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    if (!op.coeffs.empty() && op.coeffs.size() != layer.bottoms.size()) {
        why = "coefficient count";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

std::vector<PostOp> fuse(const ncnn::Layer &layer, int position, int other)
{
    const ncnn::Eltwise &op = eltwise(layer);
    if (layer.bottoms.size() != 2 || other < 0)
        return {};
    if (op.op_type != 1)
        return {binaryPostOp(op.op_type == 0 ? algorithm::binary_mul : algorithm::binary_max, other)};
    // A weighted sum: scale the convolution's result so that the residual is added with weight one.
    const float ct = op.coeffs.empty() ? 1.f : op.coeffs[position];
    const float co = op.coeffs.empty() ? 1.f : op.coeffs[1 - position];
    if (co == 0.f)
        return {eltwisePostOp(algorithm::eltwise_linear, ct, 0.f)};
    std::vector<PostOp> add;
    if (ct != co)
        add.push_back(eltwisePostOp(algorithm::eltwise_linear, ct / co, 0.f));
    add.push_back(binaryPostOp(algorithm::binary_add, other));
    if (co != 1.f)
        add.push_back(eltwisePostOp(algorithm::eltwise_linear, co, 0.f));
    return add;
}

int lower(LoweringContext &ctx, const Node &node, std::string &)
{
    const ncnn::Eltwise &op = eltwise(*node.layer);
    std::vector<Binding> bindings{ctx.bind(DNNL_ARG_DST, node.out)};
    if (op.op_type == 1) {
        std::vector<float> scales = op.coeffs;
        if (scales.empty())
            scales.assign(node.in.size(), 1.f);
        std::vector<dnnl::memory::desc> srcs;
        for (size_t k = 0; k < node.in.size(); ++k) {
            srcs.push_back(ctx.desc(node.in[k]));
            bindings.push_back(ctx.bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
        }
        const dnnl::sum::primitive_desc pd(ctx.desc(node.out), scales, srcs, cpuEngine(), ctx.attributes());
        ctx.primitiveStep(dnnl::sum(pd), std::move(bindings));
        return 0;
    }
    const auto alg = op.op_type == 0 ? algorithm::binary_mul : algorithm::binary_max;
    const auto &md = ctx.desc(node.out);
    const dnnl::binary::primitive_desc pd(dnnl::binary::desc(alg, md, md, md), ctx.attributes(), cpuEngine());
    const dnnl::binary primitive(pd);
    ctx.primitiveStep(primitive, {ctx.bind(DNNL_ARG_SRC_0, node.in[0]), ctx.bind(DNNL_ARG_SRC_1, node.in[1]),
                                  ctx.bind(DNNL_ARG_DST, node.out)});
    // Further operands accumulate in place.
    for (size_t k = 2; k < node.in.size(); ++k)
        ctx.primitiveStep(primitive,
                          {ctx.bind(DNNL_ARG_SRC_0, node.out), ctx.bind(DNNL_ARG_SRC_1, node.in[k]),
                           ctx.bind(DNNL_ARG_DST, node.out)});
    return 0;
}

} // namespace

extern const OnednnOperator eltwise_onednn{"Eltwise", supports, fuse, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
