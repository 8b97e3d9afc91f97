// Swish: oneDNN's swish function with alpha 1, x * sigmoid(x) (activation_lowering.cpp).
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &, bool, FastOp &op, std::string &)
{
    op.type = OpType::Unary;
    op.unaryAlgorithm = static_cast<int>(dnnl::algorithm::eltwise_swish);
    op.unaryAlpha = 1.f;
    return 0;
}

} // namespace

extern const OnednnOperator swish_onednn{"Swish", describe};

} // namespace brivelle::onednn
