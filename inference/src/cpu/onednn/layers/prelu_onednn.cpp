// PReLU, one slope per channel or one for all: a loop over the plan's layout (blocked_kernels.cpp).

#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layers/prelu.h"

namespace brivelle::onednn {

namespace {

const float *slopes(const ncnn::Layer &layer)
{
    const auto &p = static_cast<const ncnn::PReLU &>(layer);
    return p.num_slope > 0 ? floatsOf(p.slope_data, static_cast<size_t>(p.num_slope)) : nullptr;
}

int supportsParameters(const ncnn::Layer &layer, std::string &why)
{
    if (layer.bottoms.size() != 1 || !slopes(layer)) {
        why = "slopes not loaded as fp32";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int supports(const ncnn::Layer &layer, const std::vector<Shape> &in, const Shape &, std::string &why)
{
    if (const int ret = supportsParameters(layer, why); ret != 0 || in.empty())
        return ret;
    const int count = static_cast<const ncnn::PReLU &>(layer).num_slope;
    if (count != 1 && count != in[0].c) {
        why = "slope count";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int lower(LoweringContext &ctx, const Node &node, std::string &)
{
    // The loaded layer outlives every plan compiled from it: its slopes are read in place.
    const float *values = slopes(*node.layer);
    const int count = static_cast<const ncnn::PReLU &>(*node.layer).num_slope;
    const Shape in = ctx.shape(node.in[0]);
    const Layout layout = ctx.layout();
    ctx.customStep({ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)},
                   [values, count, in, layout](const std::vector<float *> &ptr, RunContext &) {
                       preluBlocked(ptr[0], ptr[1], in, layout, values, count);
                       return 0;
                   });
    return 0;
}

} // namespace

extern const OnednnOperator prelu_onednn{"PReLU", supports, nullptr, lower, nullptr, nullptr, false};

} // namespace brivelle::onednn
