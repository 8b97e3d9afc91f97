// Noop hands its input on, as Split does.
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

extern const OnednnOperator noop_onednn{"Noop", oneInput, nullptr, nullptr, nullptr, nullptr, false};

} // namespace brivelle::onednn
