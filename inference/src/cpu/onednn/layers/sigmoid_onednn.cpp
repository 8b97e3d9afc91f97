// Sigmoid: oneDNN's logistic function (activation_lowering.cpp).
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &, bool, FastOp &op, std::string &)
{
    op.type = OpType::Sigmoid;
    return 0;
}

} // namespace

extern const OnednnOperator sigmoid_onednn{"Sigmoid", describe};

} // namespace brivelle::onednn
