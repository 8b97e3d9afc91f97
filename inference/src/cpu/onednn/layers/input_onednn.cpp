// The network's inputs: the plan converts them into its layout at its edge.
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

extern const OnednnOperator input_onednn{"Input", nullptr, nullptr, nullptr, nullptr, nullptr, false};

} // namespace brivelle::onednn
