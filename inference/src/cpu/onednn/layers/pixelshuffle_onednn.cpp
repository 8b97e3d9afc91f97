// PixelShuffle, depth to space: an index shuffle oneDNN has no primitive for (blocked_kernels.cpp).

#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layers/pixelshuffle.h"

namespace brivelle::onednn {

namespace {

int supports(const ncnn::Layer &layer, const std::vector<Shape> &, const Shape &, std::string &why)
{
    const auto &op = static_cast<const ncnn::PixelShuffle &>(layer);
    if (layer.bottoms.size() != 1 || op.upscale_factor < 1 || op.mode < 0 || op.mode > 1) {
        why = "factor or mode";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int lower(LoweringContext &ctx, const Node &node, std::string &)
{
    const auto &op = static_cast<const ncnn::PixelShuffle &>(*node.layer);
    const Shape in = ctx.shape(node.in[0]), out = ctx.shape(node.out);
    const Layout layout = ctx.layout();
    const int factor = op.upscale_factor, mode = op.mode;
    ctx.customStep({ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)},
                   [=](const std::vector<float *> &ptr, RunContext &) {
                       pixelShuffleBlocked(ptr[0], in, ptr[1], out, layout, factor, mode);
                       return 0;
                   });
    return 0;
}

} // namespace

extern const OnednnOperator pixelshuffle_onednn{"PixelShuffle", supports, nullptr, lower,
                                                nullptr,        nullptr,  false};

} // namespace brivelle::onednn
