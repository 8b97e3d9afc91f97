// Reorg, space to depth: PixelShuffle's kernel run the other way (blocked_kernels.cpp).

#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layers/reorg.h"

namespace brivelle::onednn {

namespace {

int supports(const ncnn::Layer &layer, const std::vector<Shape> &, const Shape &, std::string &why)
{
    const auto &op = static_cast<const ncnn::Reorg &>(layer);
    if (layer.bottoms.size() != 1 || op.stride < 1 || op.mode < 0 || op.mode > 1) {
        why = "stride or mode";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int lower(LoweringContext &ctx, const Node &node, std::string &)
{
    const auto &op = static_cast<const ncnn::Reorg &>(*node.layer);
    const Shape in = ctx.shape(node.in[0]), out = ctx.shape(node.out);
    const Layout layout = ctx.layout();
    const int stride = op.stride, mode = op.mode;
    ctx.customStep({ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)},
                   [=](const std::vector<float *> &ptr, RunContext &) {
                       reorgBlocked(ptr[0], in, ptr[1], out, layout, stride, mode);
                       return 0;
                   });
    return 0;
}

} // namespace

extern const OnednnOperator reorg_onednn{"Reorg", supports, nullptr, lower, nullptr, nullptr, false};

} // namespace brivelle::onednn
