#include "fast_graph.h"

#include "lowering.h"

#include <ncnn/errors.h>

namespace brivelle::onednn {

int checkGraph(const FastGraph &graph, std::string &reason)
{
    for (const FastOp &op : graph.ops) {
        std::string why;
        for (int b : op.bottoms)
            if (b < 0 || b >= graph.blobCount)
                why = "blob index";
        for (int t : op.tops)
            if (t < 0 || t >= graph.blobCount)
                why = "blob index";
        if ((op.type == OpType::Split || op.type == OpType::Noop) && op.bottoms.size() != 1)
            why = "one input expected";
        else if (const auto check = loweringOf(op.type).check)
            why = check(op);
        if (op.type != OpType::Input && op.type != OpType::Split && op.tops.size() != 1)
            why = "one output expected";
        if (!why.empty()) {
            reason = op.name + ": " + why;
            return ncnn::ERROR_UNSUPPORTED_LAYER;
        }
    }
    return 0;
}

} // namespace brivelle::onednn
