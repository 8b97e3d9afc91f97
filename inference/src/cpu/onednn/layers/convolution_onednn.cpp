#include "convolution_onednn.h"

#include <ncnn/cpu.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace brivelle::onednn {

using dnnl::algorithm;
using dnnl::memory;

std::array<int, 4> convolutionPads(const ncnn::Convolution &op, Shape in)
{
    int pl = 0, pr = 0, pt = 0, pb = 0;
    op.resolve_padding(in.w, in.h, pl, pr, pt, pb);
    return {pt, pl, pb, pr};
}

const float *convolutionWeights(const ncnn::Convolution &op)
{
    return op.weight_data_size > 0 ? floatsOf(op.weight_data, static_cast<size_t>(op.weight_data_size))
                                   : nullptr;
}

const float *convolutionBias(const ncnn::Convolution &op)
{
    return op.bias_term ? floatsOf(op.bias_data, static_cast<size_t>(op.num_output)) : nullptr;
}

bool slowConvolutionKernel(const char *implementation)
{
    return std::strstr(implementation, "gemm") != nullptr || std::strncmp(implementation, "ref", 3) == 0;
}

dnnl::convolution_forward::primitive_desc convolutionDesc(const ConvolutionLayer &layer, algorithm alg,
                                                          const memory::desc &src, const memory::desc &dst)
{
    const ncnn::Convolution &op = *layer.op;
    const memory::dims strides{op.stride_h, op.stride_w}, dilation{op.dilation_h - 1, op.dilation_w - 1};
    const memory::dims padL{layer.pads[0], layer.pads[1]}, padR{layer.pads[2], layer.pads[3]};
    const auto kind = dnnl::prop_kind::forward_inference;
    if (layer.hasBias)
        return dnnl::convolution_forward::primitive_desc(
            dnnl::convolution_forward::desc(kind, alg, src, layer.weightsAny, layer.bias, dst, strides,
                                            dilation, padL, padR),
            layer.attr, cpuEngine());
    return dnnl::convolution_forward::primitive_desc(
        dnnl::convolution_forward::desc(kind, alg, src, layer.weightsAny, dst, strides, dilation, padL, padR),
        layer.attr, cpuEngine());
}

void addConvolutionStep(LoweringContext &ctx, const Node &node, const ConvolutionLayer &layer,
                        const dnnl::convolution_forward::primitive_desc &pd)
{
    int convSrc = layer.src;
    if (pd.src_desc() != ctx.desc(layer.src)) {
        convSrc = ctx.temporaryBlob(pd.src_desc(), layer.in);
        ctx.reorderStep(layer.src, convSrc);
    }
    std::vector<Binding> bindings{ctx.bind(DNNL_ARG_SRC, convSrc), ctx.bind(DNNL_ARG_DST, node.out)};
    for (size_t i = 0; i < node.post.size() && static_cast<int>(i) < layer.attr.get_post_ops().len(); ++i)
        if (node.post[i].binary)
            bindings.push_back(ctx.bind(DNNL_ARG_ATTR_MULTIPLE_POST_OP(static_cast<int>(i)) | DNNL_ARG_SRC_1,
                                        node.post[i].blob));
    const ncnn::Convolution &op = *layer.op;
    const memory::desc plain({op.num_output, layer.in.c, op.kernel_h, op.kernel_w}, memory::data_type::f32,
                             memory::format_tag::oihw);
    std::vector<std::pair<int, memory>> constants;
    constants.emplace_back(DNNL_ARG_WEIGHTS,
                           ctx.packedWeights(node.op, convolutionWeights(op), plain, pd.weights_desc()));
    if (layer.hasBias) {
        memory bias(layer.bias, cpuEngine());
        std::memcpy(bias.get_data_handle(), convolutionBias(op),
                    static_cast<size_t>(op.num_output) * sizeof(float));
        constants.emplace_back(DNNL_ARG_BIAS, bias);
    }
    ctx.primitiveStep(dnnl::convolution_forward(pd), std::move(bindings), std::move(constants),
                      pd.impl_info_str());
}

namespace {

const ncnn::Convolution &convolution(const ncnn::Layer &layer)
{
    return static_cast<const ncnn::Convolution &>(layer);
}

int supports(const ncnn::Layer &layer, const std::vector<Shape> &, const Shape &, std::string &why)
{
    const ncnn::Convolution &op = convolution(layer);
    const bool same =
        op.pad_left == ncnn::Convolution::kSameUpper || op.pad_left == ncnn::Convolution::kSameLower;
    const bool padded = op.pad_left || op.pad_right || op.pad_top || op.pad_bottom;
    const size_t perInput =
        static_cast<size_t>(std::max(op.num_output, 0)) * std::max(op.kernel_w, 0) * std::max(op.kernel_h, 0);
    if (layer.bottoms.size() != 1)
        why = "one input expected";
    // Grouped convolutions and padding with a value stay on the reference layer.
    else if (op.group != 1)
        why = "grouped convolution";
    else if (padded && op.pad_value != 0.f)
        why = "padding with a value";
    else if (op.num_output <= 0 || op.kernel_w <= 0 || op.kernel_h <= 0 || op.stride_w <= 0 ||
             op.stride_h <= 0 || op.dilation_w <= 0 || op.dilation_h <= 0)
        why = "non-positive size";
    else if (!same && (op.pad_left < 0 || op.pad_right < 0 || op.pad_top < 0 || op.pad_bottom < 0))
        why = "padding mode " + std::to_string(op.pad_left);
    else if (!convolutionWeights(op) || static_cast<size_t>(op.weight_data_size) % perInput)
        why = "weights not loaded as fp32";
    else if (op.bias_term && !convolutionBias(op))
        why = "bias not loaded as fp32";
    else if (op.activation_type < 0 || op.activation_type > 6)
        why = "activation type " + std::to_string(op.activation_type);
    // oneDNN 2.6's hardswish has ncnn's default parameters built in.
    else if (op.activation_type == 6 && op.activation_params.size() >= 2 &&
             (std::fabs(op.activation_params[0] - 1.f / 6.f) > 1e-6f ||
              std::fabs(op.activation_params[1] - 0.5f) > 1e-6f))
        why = "hardswish parameters";
    else
        return 0;
    return ncnn::ERROR_UNSUPPORTED_LAYER;
}

// The plan's attributes with the first `count` post-ops of the node.
dnnl::primitive_attr postOpAttributes(const LoweringContext &ctx, const Node &node, size_t count)
{
    dnnl::post_ops postOps;
    for (size_t i = 0; i < count; ++i) {
        const PostOp &po = node.post[i];
        if (po.binary)
            postOps.append_binary(po.alg, ctx.desc(po.blob));
        else
            postOps.append_eltwise(1.f, po.alg, po.alpha, po.beta);
    }
    dnnl::primitive_attr attr = ctx.attributes();
    attr.set_post_ops(postOps);
    return attr;
}

// oneDNN ships Winograd kernels for AVX-512 only; elsewhere creation fails and the next algorithm runs.
bool onednnWinograd(LoweringContext &ctx, const Node &node, const ConvolutionLayer &layer)
{
    const ncnn::Convolution &op = *layer.op;
    if (!ctx.options().tryWinograd || op.kernel_w != 3 || op.kernel_h != 3 || op.stride_w != 1 ||
        op.stride_h != 1 || op.dilation_w != 1 || op.dilation_h != 1)
        return false;
    try {
        const memory::desc srcAny({1, layer.in.c, layer.in.h, layer.in.w}, memory::data_type::f32,
                                  memory::format_tag::any);
        addConvolutionStep(
            ctx, node, layer,
            convolutionDesc(layer, algorithm::convolution_winograd, srcAny, ctx.desc(layer.dst)));
        return true;
    } catch (const dnnl::error &) {
        return false;
    }
}

// Tried before direct convolution, in order, for every fp32 layer. A layer a bf16 plan takes (takesBf16
// below) runs direct in bf16: Winograd's transforms in bf16 would round (a 4x4 tile sums 36 products of
// inputs scaled by up to 8) far beyond bf16's own rounding.
constexpr ConvolutionAlgorithm kAlgorithms[] = {winogradConvolution, onednnWinograd};

// In a bf16 plan, a layer that our fp32 Winograd would take runs it unless AMX is there, and the planner
// then keeps its blobs in fp32: AMX's tiles run x4plus's body shapes 4 to 5 times faster than that
// Winograd (winograd_bench), AVX512_BF16's dot products alone run direct convolution at about half its
// speed.
bool takesBf16(const ncnn::Layer &layer, const std::vector<Shape> &in, const PlanOptions &options)
{
    if (ncnn::cpu_support_amx_bf16() || !options.tryWinograd || in.size() != 1)
        return true;
    const ncnn::Convolution &op = convolution(layer);
    const std::array<int, 4> pads = convolutionPads(op, in[0]);
    const Shape out{op.num_output, in[0].h + pads[0] + pads[2] - op.kernel_h + 1,
                    in[0].w + pads[1] + pads[3] - op.kernel_w + 1};
    return !winogradTakes(op, pads, in[0], out);
}

// The implementation a direct convolution of this layer gets with source and destination in `layout`.
std::string directKernelIn(const ConvolutionLayer &layer, Layout layout, memory::data_type type)
{
    try {
        return convolutionDesc(layer, algorithm::convolution_direct, layoutDesc(layer.in, layout, type),
                               layoutDesc(layer.out, layout, type))
            .impl_info_str();
    } catch (const dnnl::error &) {
        return {};
    }
}

// The post-ops from `first` on that the primitive does not take, as steps of their own on its output.
void addUnfoldedPostOps(LoweringContext &ctx, const Node &node, size_t first)
{
    for (size_t i = first; i < node.post.size(); ++i) {
        const PostOp &po = node.post[i];
        const memory::desc &md = ctx.desc(node.out);
        if (po.binary) {
            const dnnl::binary::primitive_desc bpd(dnnl::binary::desc(po.alg, md, ctx.desc(po.blob), md),
                                                   ctx.attributes(), cpuEngine());
            ctx.primitiveStep(dnnl::binary(bpd),
                              {ctx.bind(DNNL_ARG_SRC_0, node.out), ctx.bind(DNNL_ARG_SRC_1, po.blob),
                               ctx.bind(DNNL_ARG_DST, node.out)});
        } else {
            const dnnl::eltwise_forward::primitive_desc epd(
                dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, po.alg, md, po.alpha,
                                            po.beta),
                ctx.attributes(), cpuEngine());
            ctx.primitiveStep(dnnl::eltwise_forward(epd),
                              {ctx.bind(DNNL_ARG_SRC, node.out), ctx.bind(DNNL_ARG_DST, node.out)});
        }
    }
}

int lower(LoweringContext &ctx, const Node &node, std::string &why)
{
    const ncnn::Convolution &op = convolution(*node.layer);
    ConvolutionLayer layer;
    layer.op = &op;
    layer.src = node.in[0];
    layer.dst = node.out;
    layer.in = ctx.shape(layer.src);
    layer.out = ctx.shape(layer.dst);
    layer.pads = convolutionPads(op, layer.in);
    layer.attr = postOpAttributes(ctx, node, node.post.size());
    // bf16 products with fp32 sums; the bias and the post-ops stay fp32.
    const bool bf16 =
        ctx.options().precision == ncnn::Storage::Bf16 && takesBf16(*node.layer, {layer.in}, ctx.options());
    const memory::data_type type = bf16 ? memory::data_type::bf16 : memory::data_type::f32;
    layer.weightsAny =
        memory::desc({op.num_output, layer.in.c, op.kernel_h, op.kernel_w}, type, memory::format_tag::any);
    layer.hasBias = op.bias_term != 0;
    if (layer.hasBias)
        layer.bias = memory::desc({op.num_output}, memory::data_type::f32, memory::format_tag::x);

    if (!bf16)
        for (ConvolutionAlgorithm algorithm : kAlgorithms)
            if (algorithm(ctx, node, layer))
                return 0;

    const memory::desc &dst = ctx.desc(layer.dst);
    dnnl::convolution_forward::primitive_desc pd;
    bool have = false;
    try {
        // A source in the other storage is converted by a step of its own (addConvolutionStep).
        pd = convolutionDesc(layer, algorithm::convolution_direct, withType(ctx.desc(layer.src), type), dst);
        have = std::strncmp(pd.impl_info_str(), "ref", 3) != 0;
    } catch (const dnnl::error &) {
    }
    if (!have) {
        // A source layout of oneDNN's choice (plain for a first layer with few channels) behind a reorder.
        const memory::desc srcAny({1, layer.in.c, layer.in.h, layer.in.w}, type, memory::format_tag::any);
        pd = convolutionDesc(layer, algorithm::convolution_direct, srcAny, dst);
    }
    const char *kernel = pd.impl_info_str();
    // oneDNN 2.6's gemm convolution gets binary post-ops wrong in channels-last with a channel tail: they
    // run as steps of their own behind it.
    size_t folded = node.post.size();
    if (slowConvolutionKernel(kernel)) {
        folded = 0;
        while (folded < node.post.size() && !node.post[folded].binary)
            ++folded;
    }
    if (folded < node.post.size()) {
        layer.attr = postOpAttributes(ctx, node, folded);
        pd = convolutionDesc(layer, algorithm::convolution_direct, pd.src_desc(), dst);
        kernel = pd.impl_info_str();
    }
    // A layout forced for tests reproduces another machine's path, slow kernels included.
    const bool allowSlow =
        ctx.options().allowSlowConvolutions || (ctx.options().layout == Layout::Auto && layoutForced());
    if (op.kernel_w == 3 && op.kernel_h == 3 && slowConvolutionKernel(kernel) && !allowSlow) {
        for (Layout other : {Layout::Nhwc, Layout::Blocked16, Layout::Blocked8}) {
            const std::string better = directKernelIn(layer, other, type);
            if (!better.empty() && !slowConvolutionKernel(better.c_str())) {
                why = std::string("3x3 convolution on ") + kernel + " in the " + layoutName(ctx.layout()) +
                      " layout, while " + better + " runs it in " + layoutName(other);
                return ncnn::ERROR_UNSUPPORTED_LAYER;
            }
        }
    }
    addConvolutionStep(ctx, node, layer, pd);
    addUnfoldedPostOps(ctx, node, folded);
    return 0;
}

// ncnn's fused activation of Convolution: 0 none, 1 relu, 2 leaky relu (slope), 3 clip (min, max),
// 4 sigmoid, 5 mish, 6 hardswish.
std::vector<PostOp> activationPostOps(const ncnn::Layer &layer)
{
    const ncnn::Convolution &op = convolution(layer);
    const std::vector<float> &p = op.activation_params;
    const float a = p.empty() ? 0.f : p[0], b = p.size() > 1 ? p[1] : 0.f;
    switch (op.activation_type) {
    case 1:
        return {eltwisePostOp(algorithm::eltwise_relu, 0.f, 0.f)};
    case 2:
        return {eltwisePostOp(algorithm::eltwise_relu, a, 0.f)};
    case 3:
        return {eltwisePostOp(algorithm::eltwise_clip, a, b)};
    case 4:
        return {eltwisePostOp(algorithm::eltwise_logistic, 0.f, 0.f)};
    case 5:
        return {eltwisePostOp(algorithm::eltwise_mish, 0.f, 0.f)};
    case 6:
        return {eltwisePostOp(algorithm::eltwise_hardswish, 0.f, 0.f)};
    default:
        return {};
    }
}

} // namespace

extern const OnednnOperator convolution_onednn{"Convolution",     supports,  nullptr, lower,
                                               activationPostOps, takesBf16, true};

} // namespace brivelle::onednn
