// Noop hands its input on, as Split does.
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

namespace {

int describe(const ncnn::Layer &, bool, FastOp &op, std::string &)
{
    op.type = OpType::Noop;
    return 0;
}

} // namespace

extern const OnednnOperator noop_onednn{"Noop", describe};

} // namespace brivelle::onednn
