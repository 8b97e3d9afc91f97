// Winograd F(4,3) as an algorithm of the convolution lowering: a custom step over the plan's own layout,
// with the activation, a scale and a residual sum of the fused post-ops applied by its output transform.

#include "convolution_onednn.h"

#include "cpu/onednn/winograd_convolution.h"

namespace brivelle::onednn {

using dnnl::algorithm;

namespace {

// Measured with winograd_bench on AVX-512 and AVX2, 2 threads: F(4,3) beats direct convolution from
// 8x8 outputs with 32 input channels on; on 4x4 outputs direct wins (a tile is mostly transform).
bool beatsDirect(Shape in, Shape out)
{
    return in.c >= 32 && out.c >= 16 && out.h * out.w >= 64;
}

// F(4,3) for every shape. F(6,3) does 1.78 products per output where F(4,3) does 2.25, but inside a
// network its transformed tiles and weights, 64 points against 36, outgrow the cache that one layer
// alone in winograd_bench keeps them in: on whole x4fast runs (AVX-512 and AVX2, 4 threads, outputs from
// 16x16 to 256x256) F(4,3) was level or ahead everywhere, by up to a quarter on 24 to 48 pixel outputs,
// where choosing by products made the cost per pixel jump between neighbouring sizes.
constexpr WinogradVariant kVariant = WinogradVariant::F43;

// The post-ops as (act(x) * scale + residual) * outerScale + outerResidual, in that order, each part
// optional but the outer ones only after a residual; false when they say something else.
bool epilogueOf(const std::vector<PostOp> &post, WinogradEpilogue &e, int &residual, int &outerResidual)
{
    size_t i = 0;
    auto scale = [&post, &i](float &to) {
        if (i < post.size() && !post[i].binary && post[i].alg == algorithm::eltwise_linear &&
            post[i].beta == 0.f) {
            to = post[i].alpha;
            ++i;
        }
    };
    auto sum = [&post, &i](bool &present, int &blob) {
        if (i < post.size() && post[i].binary && post[i].alg == algorithm::binary_add) {
            present = true;
            blob = post[i].blob;
            ++i;
        }
    };
    if (i < post.size() && !post[i].binary && post[i].alg == algorithm::eltwise_relu && post[i].beta == 0.f) {
        e.activation = true;
        e.slope = post[i].alpha;
        ++i;
    }
    scale(e.scale);
    sum(e.residual, residual);
    if (e.residual) {
        scale(e.outerScale);
        sum(e.outerResidual, outerResidual);
    }
    return i == post.size();
}

} // namespace

bool winogradTakes(const ncnn::Convolution &op, const std::array<int, 4> &pads, Shape in, Shape out)
{
    // pads: top, left, bottom, right
    return WinogradConvolution::supports(op.kernel_w, op.kernel_h, op.stride_w, op.stride_h, op.dilation_w,
                                         op.dilation_h, pads[1], pads[3], pads[0], pads[2]) &&
           beatsDirect(in, out);
}

bool winogradConvolution(LoweringContext &ctx, const Node &node, const ConvolutionLayer &layer)
{
    const ncnn::Convolution &op = *layer.op;
    const auto &pads = layer.pads;
    if (!ctx.options().tryWinograd || !winogradTakes(op, pads, layer.in, layer.out))
        return false;
    int block = 0, lanes = 0;
    switch (ctx.layout()) {
    case Layout::Blocked8:
        block = lanes = 8;
        break;
    case Layout::Blocked16:
        block = lanes = 16;
        break;
    case Layout::Nhwc:
        lanes = winogradLanes(winogradIsa());
        break;
    default:
        return false;
    }
    WinogradEpilogue epilogue;
    int residual = -1, outerResidual = -1;
    if (!epilogueOf(node.post, epilogue, residual, outerResidual))
        return false;
    std::string why;
    std::unique_ptr<WinogradConvolution> created;
    if (WinogradConvolution::create(ctx.winogradWeights(node.op, convolutionWeights(op), convolutionBias(op),
                                                        layer.in.c, op.num_output, lanes),
                                    layer.in, pads[0], epilogue, ctx.options().numThreads, created, why,
                                    kVariant) != 0)
        return false; // direct convolution then
    std::shared_ptr<const WinogradConvolution> conv = std::move(created);
    std::vector<Binding> bindings{ctx.bind(DNNL_ARG_SRC, layer.src), ctx.bind(DNNL_ARG_DST, node.out)};
    if (residual >= 0)
        bindings.push_back(ctx.bind(DNNL_ARG_SRC_1, residual));
    if (outerResidual >= 0)
        bindings.push_back(ctx.bind(DNNL_ARG_SRC_2, outerResidual));
    const Shape in = layer.in, out = layer.out;
    ctx.customStep(
        std::move(bindings),
        [conv, in, out, block](const std::vector<float *> &ptr, RunContext &run) -> int {
            const size_t bytes = conv->scratchBytes();
            float *scratch = run.pool.acquire(bytes);
            if (!scratch) {
                run.why = "out of memory: " + std::to_string(bytes) + " bytes of Winograd scratch";
                return ncnn::ERROR_OUT_OF_MEMORY;
            }
            const WinogradTensor src{ptr[0], in, block, 0}, dst{ptr[1], out, block, 0};
            const WinogradTensor sum{ptr.size() > 2 ? ptr[2] : nullptr, out, block, 0};
            const WinogradTensor outer{ptr.size() > 3 ? ptr[3] : nullptr, out, block, 0};
            const int ret = conv->run(src, dst, ptr.size() > 2 ? &sum : nullptr, scratch, run.why,
                                      ptr.size() > 3 ? &outer : nullptr);
            run.pool.release(scratch);
            return ret;
        },
        std::string("winograd_4x3:") + winogradIsaName(winogradIsa()));
    return true;
}

} // namespace brivelle::onednn
