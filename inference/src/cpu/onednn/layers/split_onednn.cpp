// Split hands its input on: every top is the same blob inside the plan.
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

extern const OnednnOperator split_onednn{"Split", oneInput, nullptr, nullptr, nullptr, nullptr, false};

} // namespace brivelle::onednn
