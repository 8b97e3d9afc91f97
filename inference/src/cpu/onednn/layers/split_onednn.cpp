// Split hands its input on: every top is the same blob inside the plan.
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &, bool, FastOp &op, std::string &)
{
    op.type = OpType::Split;
    return 0;
}

} // namespace

extern const OnednnOperator split_onednn{"Split", describe};

} // namespace brivelle::onednn
