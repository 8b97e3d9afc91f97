// The network's inputs: the plan converts them into its layout at its edge.
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &, bool, FastOp &op, std::string &)
{
    op.type = OpType::Input;
    return 0;
}

} // namespace

extern const OnednnOperator input_onednn{"Input", describe};

} // namespace brivelle::onednn
