#include "fast_graph.h"

#include "lowering.h"

namespace brivelle::onednn {

std::string unsupportedReason(const FastGraph &graph)
{
    for (const FastOp &op : graph.ops) {
        for (int b : op.bottoms)
            if (b < 0 || b >= graph.blobCount)
                return op.name + ": blob index";
        for (int t : op.tops)
            if (t < 0 || t >= graph.blobCount)
                return op.name + ": blob index";
        std::string why;
        if ((op.type == OpType::Split || op.type == OpType::Noop) && op.bottoms.size() != 1)
            why = "one input expected";
        else if (const auto check = loweringOf(op.type).check)
            why = check(op);
        if (op.type != OpType::Input && op.type != OpType::Split && op.tops.size() != 1)
            why = "one output expected";
        if (!why.empty())
            return op.name + ": " + why;
    }
    return {};
}

} // namespace brivelle::onednn
