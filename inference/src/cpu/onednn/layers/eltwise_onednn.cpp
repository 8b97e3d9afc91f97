#include "cpu/onednn/lowering.h"
#include "layers/eltwise.h"

namespace brivelle::onednn {

using dnnl::algorithm;

namespace {

std::string check(const FastOp &op)
{
    if (op.bottoms.size() < 2 || op.operation < 0 || op.operation > 2)
        return "operation " + std::to_string(op.operation);
    if (!op.coeffs.empty() && op.coeffs.size() != op.bottoms.size())
        return "coefficient count";
    return {};
}

std::string shape(const FastOp &, const std::vector<Shape> &in, Shape &out, double &)
{
    for (const Shape &s : in)
        if (!(s == in[0]))
            return "inputs differ in shape";
    out = in[0];
    return {};
}

std::vector<PostOp> fuse(const FastOp &op, int position, int other)
{
    if (op.bottoms.size() != 2 || other < 0)
        return {};
    if (op.operation != 1)
        return {binaryPostOp(op.operation == 0 ? algorithm::binary_mul : algorithm::binary_max, other)};
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

std::string lower(LoweringContext &ctx, const Node &node)
{
    const FastOp &op = ctx.op(node.op);
    std::vector<Binding> bindings{ctx.bind(DNNL_ARG_DST, node.out)};
    if (op.operation == 1) {
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
        return {};
    }
    const auto alg = op.operation == 0 ? algorithm::binary_mul : algorithm::binary_max;
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
    return {};
}

} // namespace

const OpLowering &eltwiseLowering()
{
    static const OpLowering lowering{check, shape, fuse, lower};
    return lowering;
}

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const auto &e = static_cast<const ncnn::Eltwise &>(layer);
    op.type = OpType::Eltwise;
    op.operation = e.op_type;
    op.coeffs = e.coeffs;
    return 0;
}

} // namespace

extern const OnednnOperator eltwise_onednn{"Eltwise", describe};

} // namespace brivelle::onednn
