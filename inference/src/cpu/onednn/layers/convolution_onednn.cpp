#include "convolution_onednn.h"

#include "layers/convolution.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace brivelle::onednn {

using dnnl::algorithm;
using dnnl::memory;

std::array<int, 4> convolutionPads(const FastOp &op, Shape in)
{
    int pl = op.padLeft, pr = op.padRight, pt = op.padTop, pb = op.padBottom;
    if (op.padLeft == ncnn::Convolution::kSameUpper || op.padLeft == ncnn::Convolution::kSameLower) {
        const bool upper = op.padLeft == ncnn::Convolution::kSameUpper;
        ncnn::same_padding(in.w, op.dilationW * (op.kernelW - 1) + 1, op.strideW, upper, pl, pr);
        ncnn::same_padding(in.h, op.dilationH * (op.kernelH - 1) + 1, op.strideH, upper, pt, pb);
    }
    return {pt, pl, pb, pr};
}

bool slowConvolutionKernel(const char *implementation)
{
    return std::strstr(implementation, "gemm") != nullptr || std::strncmp(implementation, "ref", 3) == 0;
}

dnnl::convolution_forward::primitive_desc convolutionDesc(const ConvolutionLayer &layer, algorithm alg,
                                                          const memory::desc &src, const memory::desc &dst)
{
    const FastOp &op = *layer.op;
    const memory::dims strides{op.strideH, op.strideW}, dilation{op.dilationH - 1, op.dilationW - 1};
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
    std::vector<std::pair<int, memory>> constants;
    constants.emplace_back(DNNL_ARG_WEIGHTS, ctx.packedWeights(node.op, layer.in.c, pd.weights_desc()));
    if (layer.hasBias) {
        memory bias(layer.bias, cpuEngine());
        std::memcpy(bias.get_data_handle(), layer.op->bias.data(), layer.op->bias.size() * sizeof(float));
        constants.emplace_back(DNNL_ARG_BIAS, bias);
    }
    ctx.primitiveStep(dnnl::convolution_forward(pd), std::move(bindings), std::move(constants),
                      pd.impl_info_str());
}

namespace {

std::string check(const FastOp &op)
{
    if (op.bottoms.size() != 1)
        return "one input expected";
    if (op.outChannels <= 0 || op.kernelW <= 0 || op.kernelH <= 0 || op.strideW <= 0 || op.strideH <= 0 ||
        op.dilationW <= 0 || op.dilationH <= 0)
        return "non-positive size";
    const bool same =
        op.padLeft == ncnn::Convolution::kSameUpper || op.padLeft == ncnn::Convolution::kSameLower;
    if (!same && (op.padLeft < 0 || op.padRight < 0 || op.padTop < 0 || op.padBottom < 0))
        return "padding mode " + std::to_string(op.padLeft);
    if (op.weightCount() == 0 ||
        op.weightCount() % (static_cast<size_t>(op.outChannels) * op.kernelW * op.kernelH))
        return "weight count";
    if (!op.bias.empty() && op.bias.size() != static_cast<size_t>(op.outChannels))
        return "bias count";
    const Activation &a = op.activation;
    if (a.type < 0 || a.type > 6)
        return "activation type " + std::to_string(a.type);
    // oneDNN 2.6's hardswish has ncnn's default parameters built in.
    if (a.type == 6 && (std::fabs(a.a - 1.f / 6.f) > 1e-6f || std::fabs(a.b - 0.5f) > 1e-6f))
        return "hardswish parameters";
    return {};
}

std::string shape(const FastOp &op, const std::vector<Shape> &inputs, Shape &out, double &macs)
{
    const Shape in = inputs[0];
    const size_t perInput = static_cast<size_t>(op.outChannels) * op.kernelW * op.kernelH;
    if (op.weightCount() != perInput * in.c)
        return "weights expect " + std::to_string(op.weightCount() / perInput) +
               " input channels, the blob has " + std::to_string(in.c);
    const int extW = op.dilationW * (op.kernelW - 1) + 1;
    const int extH = op.dilationH * (op.kernelH - 1) + 1;
    const auto pads = convolutionPads(op, in);
    if (in.w + pads[1] + pads[3] < extW || in.h + pads[0] + pads[2] < extH)
        return "input smaller than the kernel";
    out.c = op.outChannels;
    out.w = (in.w + pads[1] + pads[3] - extW) / op.strideW + 1;
    out.h = (in.h + pads[0] + pads[2] - extH) / op.strideH + 1;
    macs += static_cast<double>(out.c) * out.h * out.w * in.c * op.kernelW * op.kernelH;
    return {};
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
bool onednnWinograd(LoweringContext &ctx, const Node &node, const ConvolutionLayer &layer, std::string &)
{
    const FastOp &op = *layer.op;
    if (!ctx.options().tryWinograd || op.kernelW != 3 || op.kernelH != 3 || op.strideW != 1 ||
        op.strideH != 1 || op.dilationW != 1 || op.dilationH != 1)
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

// Tried before direct convolution, in order, for every layer.
constexpr ConvolutionAlgorithm kAlgorithms[] = {winogradConvolution, onednnWinograd};

// The implementation a direct convolution of this layer gets with source and destination in `layout`.
std::string directKernelIn(const ConvolutionLayer &layer, Layout layout)
{
    try {
        return convolutionDesc(layer, algorithm::convolution_direct, layoutDesc(layer.in, layout),
                               layoutDesc(layer.out, layout))
            .impl_info_str();
    } catch (const dnnl::error &) {
        return {};
    }
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    const FastOp &op = ctx.op(node.op);
    ConvolutionLayer layer;
    layer.op = &op;
    layer.src = node.in[0];
    layer.dst = node.out;
    layer.in = ctx.shape(layer.src);
    layer.out = ctx.shape(layer.dst);
    layer.pads = convolutionPads(op, layer.in);
    layer.attr = postOpAttributes(ctx, node, node.post.size());
    layer.weightsAny = memory::desc({op.outChannels, layer.in.c, op.kernelH, op.kernelW},
                                    memory::data_type::f32, memory::format_tag::any);
    layer.hasBias = !op.bias.empty();
    if (layer.hasBias)
        layer.bias = memory::desc({op.outChannels}, memory::data_type::f32, memory::format_tag::x);

    for (ConvolutionAlgorithm algorithm : kAlgorithms) {
        std::string error;
        if (algorithm(ctx, node, layer, error))
            return error;
    }

    const memory::desc &dst = ctx.desc(layer.dst);
    dnnl::convolution_forward::primitive_desc pd;
    bool have = false;
    try {
        pd = convolutionDesc(layer, algorithm::convolution_direct, ctx.desc(layer.src), dst);
        have = std::strncmp(pd.impl_info_str(), "ref", 3) != 0;
    } catch (const dnnl::error &) {
    }
    if (!have) {
        // A source layout of oneDNN's choice (plain for a first layer with few channels) behind a reorder.
        const memory::desc srcAny({1, layer.in.c, layer.in.h, layer.in.w}, memory::data_type::f32,
                                  memory::format_tag::any);
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
    if (op.kernelW == 3 && op.kernelH == 3 && slowConvolutionKernel(kernel) && !allowSlow) {
        for (Layout other : {Layout::Nhwc, Layout::Blocked16, Layout::Blocked8}) {
            const std::string better = directKernelIn(layer, other);
            if (!better.empty() && !slowConvolutionKernel(better.c_str()))
                return std::string("3x3 convolution on ") + kernel + " in the " + layoutName(ctx.layout()) +
                       " layout, while " + better + " runs it in " + layoutName(other);
        }
    }
    addConvolutionStep(ctx, node, layer, pd);
    for (size_t i = folded; i < node.post.size(); ++i) {
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
    return {};
}

} // namespace

const OpLowering &convolutionLowering()
{
    static const OpLowering lowering{check, shape, nullptr, lower};
    return lowering;
}

std::vector<PostOp> convolutionActivationPostOps(const Activation &a)
{
    switch (a.type) {
    case 1:
        return {eltwisePostOp(algorithm::eltwise_relu, 0.f, 0.f)};
    case 2:
        return {eltwisePostOp(algorithm::eltwise_relu, a.a, 0.f)};
    case 3:
        return {eltwisePostOp(algorithm::eltwise_clip, a.a, a.b)};
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

namespace {

int describe(const ncnn::Layer &layer, bool withWeights, FastOp &op, std::string &why)
{
    const auto &conv = static_cast<const ncnn::Convolution &>(layer);
    const bool padded = conv.pad_left || conv.pad_right || conv.pad_top || conv.pad_bottom;
    // Grouped convolutions and padding with a value stay on the reference layer.
    if (conv.group != 1 || (padded && conv.pad_value != 0.f)) {
        op.type = OpType::Reference;
        return 0;
    }
    op.type = OpType::Convolution;
    op.outChannels = conv.num_output;
    op.kernelW = conv.kernel_w;
    op.kernelH = conv.kernel_h;
    op.dilationW = conv.dilation_w;
    op.dilationH = conv.dilation_h;
    op.strideW = conv.stride_w;
    op.strideH = conv.stride_h;
    op.padLeft = conv.pad_left;
    op.padRight = conv.pad_right;
    op.padTop = conv.pad_top;
    op.padBottom = conv.pad_bottom;
    op.activation.type = conv.activation_type;
    if (!conv.activation_params.empty())
        op.activation.a = conv.activation_params[0];
    if (conv.activation_params.size() > 1)
        op.activation.b = conv.activation_params[1];
    if (conv.activation_type == 6 && conv.activation_params.size() < 2) {
        op.activation.a = 1.f / 6.f;
        op.activation.b = 0.5f;
    }
    if (!withWeights) {
        // Shape only: the weight count decides the input channels later.
        op.weights.assign(1, 0.f);
        op.weights.resize(static_cast<size_t>(conv.num_output) * conv.kernel_w * conv.kernel_h);
        return 0;
    }
    const ncnn::Mat &w = conv.weight_data;
    if (w.empty() || w.elemsize != 4 || w.elempack > 1 || w.dims > 2 ||
        static_cast<size_t>(w.w) * (w.dims == 2 ? w.h : 1) != static_cast<size_t>(conv.weight_data_size)) {
        why = "weights not loaded as fp32";
        return ncnn::ERROR_BAD_MODEL;
    }
    op.sharedWeights = static_cast<const float *>(w.data);
    op.sharedWeightCount = static_cast<size_t>(conv.weight_data_size);
    if (conv.bias_term) {
        op.bias = floatsOf(conv.bias_data);
        if (op.bias.size() != static_cast<size_t>(conv.num_output)) {
            why = "bias not loaded";
            return ncnn::ERROR_BAD_MODEL;
        }
    }
    return 0;
}

} // namespace

extern const OnednnOperator convolution_onednn{"Convolution", describe};

} // namespace brivelle::onednn
