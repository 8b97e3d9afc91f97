// ReLU, leaky below zero with its slope: oneDNN's relu (activation_lowering.cpp).
#include "cpu/onednn/lowering.h"
#include "layers/relu.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    op.type = OpType::ReLU;
    op.slope = static_cast<const ncnn::ReLU &>(layer).slope;
    return 0;
}

} // namespace

extern const OnednnOperator relu_onednn{"ReLU", describe};

} // namespace brivelle::onednn
