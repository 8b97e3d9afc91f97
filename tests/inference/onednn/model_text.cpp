#include "model_text.h"

#include <cstring>
#include <sstream>

namespace brivelle::onednn::testing {

namespace {

void appendFloats(std::vector<unsigned char> &bin, const std::vector<float> &v)
{
    const size_t at = bin.size();
    bin.resize(at + v.size() * sizeof(float));
    std::memcpy(bin.data() + at, v.data(), v.size() * sizeof(float));
}

const char *typeName(OpType t)
{
    switch (t) {
    case OpType::Input:
        return "Input";
    case OpType::Convolution:
        return "Convolution";
    case OpType::Split:
        return "Split";
    case OpType::Noop:
        return "Noop";
    case OpType::Concat:
        return "Concat";
    case OpType::Eltwise:
        return "Eltwise";
    case OpType::BinaryOp:
        return "BinaryOp";
    case OpType::ReLU:
        return "ReLU";
    case OpType::Clip:
        return "Clip";
    case OpType::Sigmoid:
        return "Sigmoid";
    case OpType::PReLU:
        return "PReLU";
    case OpType::Interp:
        return "Interp";
    case OpType::PixelShuffle:
        return "PixelShuffle";
    case OpType::Reorg:
        return "Reorg";
    case OpType::Pooling:
        return "Pooling";
    case OpType::Unary:
    case OpType::Reference:
        break;
    }
    return "Noop";
}

} // namespace

ModelFiles writeModel(const FastGraph &graph)
{
    ModelFiles files;
    std::ostringstream p;
    p.precision(9);
    p << "7767517\n" << graph.ops.size() << " " << graph.blobCount << "\n";
    for (const FastOp &op : graph.ops) {
        p << typeName(op.type) << " " << op.name << " " << op.bottoms.size() << " " << op.tops.size();
        for (int b : op.bottoms)
            p << " " << blobName(b);
        for (int t : op.tops)
            p << " " << blobName(t);
        switch (op.type) {
        case OpType::Convolution:
            p << " 0=" << op.outChannels << " 1=" << op.kernelW << " 11=" << op.kernelH
              << " 2=" << op.dilationW << " 12=" << op.dilationH << " 3=" << op.strideW
              << " 13=" << op.strideH << " 4=" << op.padLeft << " 15=" << op.padRight << " 14=" << op.padTop
              << " 16=" << op.padBottom << " 5=" << (op.bias.empty() ? 0 : 1) << " 6=" << op.weights.size()
              << " 9=" << op.activation.type;
            if (op.activation.type == 2)
                p << " -23310=1," << op.activation.a;
            if (op.activation.type == 3 || op.activation.type == 6)
                p << " -23310=2," << op.activation.a << "," << op.activation.b;
            files.bin.insert(files.bin.end(), 4, 0); // fp32 storage tag
            appendFloats(files.bin, op.weights);
            appendFloats(files.bin, op.bias);
            break;
        case OpType::Concat:
            p << " 0=" << op.axis;
            break;
        case OpType::Eltwise:
            p << " 0=" << op.operation;
            if (!op.coeffs.empty()) {
                p << " -23301=" << op.coeffs.size();
                for (float c : op.coeffs)
                    p << "," << c;
            }
            break;
        case OpType::BinaryOp:
            p << " 0=" << op.operation << " 1=" << (op.withScalar ? 1 : 0) << " 2=" << op.scalar;
            break;
        case OpType::ReLU:
            p << " 0=" << op.slope;
            break;
        case OpType::Clip:
            p << " 0=" << op.minValue << " 1=" << op.maxValue;
            break;
        case OpType::PReLU:
            p << " 0=" << op.slopes.size();
            appendFloats(files.bin, op.slopes);
            break;
        case OpType::Interp:
            p << " 0=" << op.resizeType << " 1=" << op.heightScale << " 2=" << op.widthScale
              << " 3=" << op.outHeight << " 4=" << op.outWidth;
            break;
        case OpType::PixelShuffle:
        case OpType::Reorg:
            p << " 0=" << op.factor << " 1=" << op.mode;
            break;
        default:
            break;
        }
        p << "\n";
    }
    files.param = p.str();
    return files;
}

} // namespace brivelle::onednn::testing
