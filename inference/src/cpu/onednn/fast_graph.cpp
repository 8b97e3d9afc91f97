#include "fast_graph.h"

#include <cmath>

namespace brivelle::onednn {

namespace {

std::string checkConvolution(const FastOp &op)
{
    if (op.outChannels <= 0 || op.kernelW <= 0 || op.kernelH <= 0 || op.strideW <= 0 || op.strideH <= 0 ||
        op.dilationW <= 0 || op.dilationH <= 0)
        return "non-positive size";
    const bool same = op.padLeft == -233 || op.padLeft == -234;
    if (!same && (op.padLeft < 0 || op.padRight < 0 || op.padTop < 0 || op.padBottom < 0))
        return "padding mode " + std::to_string(op.padLeft);
    if (op.weights.empty() ||
        op.weights.size() % (static_cast<size_t>(op.outChannels) * op.kernelW * op.kernelH))
        return "weight count";
    if (!op.bias.empty() && op.bias.size() != static_cast<size_t>(op.outChannels))
        return "bias count";
    const Activation &a = op.activation;
    if (a.type < 0 || a.type > 6)
        return "activation type " + std::to_string(a.type);
    // oneDNN 2.6's hardswish has ncnn's default parameters built in.
    if (a.type == 6 && (std::fabs(a.a - 1.f / 6.f) > 1e-6f || std::fabs(a.b - 0.5f) > 1e-6f))
        return "hardswish parameters";
    return {};
}

} // namespace

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
        const size_t inputs = op.bottoms.size();
        switch (op.type) {
        case OpType::Input:
            break;
        case OpType::Split:
        case OpType::Noop:
            if (inputs != 1)
                why = "one input expected";
            break;
        case OpType::Convolution:
            why = inputs != 1 ? "one input expected" : checkConvolution(op);
            break;
        case OpType::Concat:
            if (inputs < 1 || (op.axis != 0 && op.axis != -3))
                why = "only channel concatenation";
            break;
        case OpType::Eltwise:
            if (inputs < 2 || op.operation < 0 || op.operation > 2)
                why = "operation " + std::to_string(op.operation);
            else if (!op.coeffs.empty() && op.coeffs.size() != inputs)
                why = "coefficient count";
            break;
        case OpType::BinaryOp:
            if (op.withScalar ? (inputs != 1 || op.operation > 7 || op.operation == 6)
                              : (inputs != 2 || op.operation == 6 || op.operation > 8))
                why = "operation " + std::to_string(op.operation);
            break;
        case OpType::ReLU:
        case OpType::Clip:
        case OpType::Sigmoid:
            if (inputs != 1)
                why = "one input expected";
            break;
        case OpType::PReLU:
            if (inputs != 1 || op.slopes.empty())
                why = "slopes";
            break;
        case OpType::Interp:
            if (inputs != 1 || op.resizeType != 1)
                why = "only nearest resizing";
            break;
        case OpType::PixelShuffle:
        case OpType::Reorg:
            if (inputs != 1 || op.factor < 1 || op.mode < 0 || op.mode > 1)
                why = "factor or mode";
            break;
        }
        if (op.type != OpType::Input && op.type != OpType::Split && op.tops.size() != 1)
            why = "one output expected";
        if (!why.empty())
            return op.name + ": " + why;
    }
    return {};
}

} // namespace brivelle::onednn
