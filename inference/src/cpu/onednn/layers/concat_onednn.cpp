#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layers/concat.h"

namespace brivelle::onednn {

namespace {

int supports(const ncnn::Layer &layer, const std::vector<Shape> &, const Shape &, std::string &why)
{
    const int axis = static_cast<const ncnn::Concat &>(layer).axis;
    if (layer.bottoms.empty() || (axis != 0 && axis != -3)) {
        why = "only channel concatenation";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int lower(LoweringContext &ctx, const Node &node, std::string &)
{
    // A view: its producers already wrote into its buffer.
    if (node.view)
        return 0;
    if (ctx.layout() == Layout::Nhwc) {
        // oneDNN 2.6's channels-last concat copies a few channels at a time, slower than the convolutions
        // around it: each pixel's channel runs are copied whole instead.
        std::vector<Binding> bindings;
        std::vector<int> channels;
        for (size_t k = 0; k < node.in.size(); ++k) {
            bindings.push_back(ctx.bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
            channels.push_back(ctx.shape(node.in[k]).c);
        }
        bindings.push_back(ctx.bind(DNNL_ARG_DST, node.out));
        const Shape out = ctx.shape(node.out);
        // The planner gives a concatenation's blobs one storage.
        const size_t bytes = dnnl::memory::data_type_size(ctx.desc(node.out).data_type());
        ctx.customStep(std::move(bindings),
                       [channels, out, bytes](const std::vector<float *> &ptr, RunContext &) {
                           concatChannelsLast(ptr, channels, out, bytes);
                           return 0;
                       });
        return 0;
    }
    std::vector<dnnl::memory::desc> srcs;
    std::vector<Binding> bindings{ctx.bind(DNNL_ARG_DST, node.out)};
    for (size_t k = 0; k < node.in.size(); ++k) {
        srcs.push_back(ctx.desc(node.in[k]));
        bindings.push_back(ctx.bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
    }
    const dnnl::concat::primitive_desc pd(ctx.desc(node.out), 1, srcs, cpuEngine(), ctx.attributes());
    ctx.primitiveStep(dnnl::concat(pd), std::move(bindings));
    return 0;
}

} // namespace

extern const OnednnOperator concat_onednn{"Concat", supports, nullptr, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
