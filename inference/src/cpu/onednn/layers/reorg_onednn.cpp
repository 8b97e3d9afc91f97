// Reorg, space to depth: PixelShuffle's kernel run the other way (pixelshuffle_onednn.cpp).
#include "cpu/onednn/lowering.h"
#include "layers/reorg.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const auto &reorg = static_cast<const ncnn::Reorg &>(layer);
    op.type = OpType::Reorg;
    op.factor = reorg.stride;
    op.mode = reorg.mode;
    return 0;
}

} // namespace

extern const OnednnOperator reorg_onednn{"Reorg", describe};

} // namespace brivelle::onednn
