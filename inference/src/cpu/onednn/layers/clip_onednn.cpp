// Clip: oneDNN's clip (activation_lowering.cpp).
#include "cpu/onednn/lowering.h"
#include "layers/clip.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const auto &clip = static_cast<const ncnn::Clip &>(layer);
    op.type = OpType::Clip;
    op.minValue = clip.min;
    op.maxValue = clip.max;
    return 0;
}

} // namespace

extern const OnednnOperator clip_onednn{"Clip", describe};

} // namespace brivelle::onednn
