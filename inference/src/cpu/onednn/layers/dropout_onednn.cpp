// Dropout at inference: nothing, or a multiplication by its scale.
#include "cpu/onednn/lowering.h"
#include "layers/dropout.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const float scale = static_cast<const ncnn::Dropout &>(layer).scale;
    op.type = scale == 1.f ? OpType::Noop : OpType::BinaryOp;
    op.operation = 2;
    op.withScalar = true;
    op.scalar = scale;
    return 0;
}

} // namespace

extern const OnednnOperator dropout_onednn{"Dropout", describe};

} // namespace brivelle::onednn
