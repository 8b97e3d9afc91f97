#include "naive_graph.h"

#include "layers/convolution.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

namespace brivelle::onednn::testing {

namespace {

float activate(float v, const Activation &a)
{
    switch (a.type) {
    case 1:
        return std::max(v, 0.f);
    case 2:
        return v > 0.f ? v : v * a.a;
    case 3:
        return std::min(std::max(v, a.a), a.b);
    case 4:
        return 1.f / (1.f + std::exp(-v));
    case 5:
        return v * std::tanh(std::log1p(std::exp(v)));
    case 6:
        return v * std::min(std::max(v * a.a + a.b, 0.f), 1.f);
    default:
        return v;
    }
}

Planar convolve(const FastOp &op, const Planar &in)
{
    const int extW = op.dilationW * (op.kernelW - 1) + 1, extH = op.dilationH * (op.kernelH - 1) + 1;
    int pl = op.padLeft, pr = op.padRight, pt = op.padTop, pb = op.padBottom;
    if (pl == ncnn::Convolution::kSameUpper || pl == ncnn::Convolution::kSameLower) {
        const bool upper = pl == ncnn::Convolution::kSameUpper;
        ncnn::same_padding(in.shape.w, extW, op.strideW, upper, pl, pr);
        ncnn::same_padding(in.shape.h, extH, op.strideH, upper, pt, pb);
    }
    Planar out;
    out.shape = {op.outChannels, (in.shape.h + pt + pb - extH) / op.strideH + 1,
                 (in.shape.w + pl + pr - extW) / op.strideW + 1};
    out.data.assign(static_cast<size_t>(out.shape.c) * out.shape.h * out.shape.w, 0.f);
    const int ic = in.shape.c;
    for (int o = 0; o < out.shape.c; ++o)
        for (int y = 0; y < out.shape.h; ++y)
            for (int x = 0; x < out.shape.w; ++x) {
                double sum = op.bias.empty() ? 0.0 : op.bias[o];
                for (int i = 0; i < ic; ++i)
                    for (int ky = 0; ky < op.kernelH; ++ky)
                        for (int kx = 0; kx < op.kernelW; ++kx) {
                            const int sy = y * op.strideH - pt + ky * op.dilationH;
                            const int sx = x * op.strideW - pl + kx * op.dilationW;
                            if (sy < 0 || sx < 0 || sy >= in.shape.h || sx >= in.shape.w)
                                continue;
                            sum += static_cast<double>(
                                       op.weights[((static_cast<size_t>(o) * ic + i) * op.kernelH + ky) *
                                                      op.kernelW +
                                                  kx]) *
                                   in.at(i, sy, sx);
                        }
                out.data[(static_cast<size_t>(o) * out.shape.h + y) * out.shape.w + x] =
                    activate(static_cast<float>(sum), op.activation);
            }
    return out;
}

float binary(int operation, float a, float b)
{
    switch (operation) {
    case 0:
        return a + b;
    case 1:
        return a - b;
    case 2:
        return a * b;
    case 3:
        return a / b;
    case 4:
        return std::max(a, b);
    case 5:
        return std::min(a, b);
    case 7:
        return b - a;
    case 8:
        return b / a;
    default:
        throw std::runtime_error("unsupported binary operation");
    }
}

} // namespace

std::map<int, Planar> evaluateNaive(const FastGraph &graph, const std::map<int, Planar> &inputs)
{
    std::map<int, Planar> blobs;
    for (const FastOp &op : graph.ops) {
        const Planar *in = op.bottoms.empty() ? nullptr : &blobs.at(op.bottoms[0]);
        Planar out;
        if (in)
            out = *in;
        switch (op.type) {
        case OpType::Input:
            out = inputs.at(op.tops[0]);
            break;
        case OpType::Split:
        case OpType::Noop:
            break;
        case OpType::Convolution:
            out = convolve(op, *in);
            break;
        case OpType::Concat:
            out.shape.c = 0;
            out.data.clear();
            for (int b : op.bottoms) {
                const Planar &p = blobs.at(b);
                out.shape.c += p.shape.c;
                out.data.insert(out.data.end(), p.data.begin(), p.data.end());
            }
            break;
        case OpType::Eltwise:
            for (size_t i = 0; i < out.data.size(); ++i) {
                float v = op.operation == 1 ? 0.f : in->data[i];
                for (size_t k = 0; k < op.bottoms.size(); ++k) {
                    const float x = blobs.at(op.bottoms[k]).data[i];
                    if (op.operation == 1)
                        v += (op.coeffs.empty() ? 1.f : op.coeffs[k]) * x;
                    else if (k > 0)
                        v = op.operation == 0 ? v * x : std::max(v, x);
                }
                out.data[i] = v;
            }
            break;
        case OpType::BinaryOp:
            for (size_t i = 0; i < out.data.size(); ++i)
                out.data[i] = binary(op.operation, in->data[i],
                                     op.withScalar ? op.scalar : blobs.at(op.bottoms[1]).data[i]);
            break;
        case OpType::ReLU:
            for (float &v : out.data)
                v = v < 0.f ? v * op.slope : v;
            break;
        case OpType::Clip:
            for (float &v : out.data)
                v = std::min(std::max(v, op.minValue), op.maxValue);
            break;
        case OpType::Sigmoid:
            for (float &v : out.data)
                v = 1.f / (1.f + std::exp(-v));
            break;
        case OpType::PReLU: {
            const size_t plane = static_cast<size_t>(out.shape.h) * out.shape.w;
            for (size_t i = 0; i < out.data.size(); ++i) {
                const float s = op.slopes.size() == 1 ? op.slopes[0] : op.slopes[i / plane];
                out.data[i] = out.data[i] < 0.f ? out.data[i] * s : out.data[i];
            }
            break;
        }
        case OpType::Interp: {
            out.shape.h = op.outHeight > 0 ? op.outHeight : static_cast<int>(in->shape.h * op.heightScale);
            out.shape.w = op.outWidth > 0 ? op.outWidth : static_cast<int>(in->shape.w * op.widthScale);
            out.data.resize(static_cast<size_t>(out.shape.c) * out.shape.h * out.shape.w);
            for (int c = 0; c < out.shape.c; ++c)
                for (int y = 0; y < out.shape.h; ++y)
                    for (int x = 0; x < out.shape.w; ++x)
                        out.data[(static_cast<size_t>(c) * out.shape.h + y) * out.shape.w + x] =
                            in->at(c, y * in->shape.h / out.shape.h, x * in->shape.w / out.shape.w);
            break;
        }
        case OpType::PixelShuffle: {
            const int r = op.factor;
            out.shape = {in->shape.c / (r * r), in->shape.h * r, in->shape.w * r};
            for (int c = 0; c < out.shape.c; ++c)
                for (int y = 0; y < out.shape.h; ++y)
                    for (int x = 0; x < out.shape.w; ++x) {
                        const int i = y % r, j = x % r;
                        const int q = op.mode == 0 ? c * r * r + i * r + j : (i * r + j) * out.shape.c + c;
                        out.data[(static_cast<size_t>(c) * out.shape.h + y) * out.shape.w + x] =
                            in->at(q, y / r, x / r);
                    }
            break;
        }
        case OpType::Reorg: {
            const int s = op.factor;
            out.shape = {in->shape.c * s * s, in->shape.h / s, in->shape.w / s};
            out.data.resize(static_cast<size_t>(out.shape.c) * out.shape.h * out.shape.w);
            for (int c = 0; c < in->shape.c; ++c)
                for (int i = 0; i < s; ++i)
                    for (int j = 0; j < s; ++j) {
                        const int q = op.mode == 0 ? c * s * s + i * s + j : (i * s + j) * in->shape.c + c;
                        for (int y = 0; y < out.shape.h; ++y)
                            for (int x = 0; x < out.shape.w; ++x)
                                out.data[(static_cast<size_t>(q) * out.shape.h + y) * out.shape.w + x] =
                                    in->at(c, y * s + i, x * s + j);
                    }
            break;
        }
        case OpType::Pooling:
        case OpType::Unary:
        case OpType::Reference:
            // Checked against the loaded reference layers instead (onednn_backend_test).
            break;
        }
        for (int t : op.tops)
            blobs[t] = out;
    }
    return blobs;
}

double normalisedError(const std::vector<float> &a, const std::vector<float> &b)
{
    if (a.size() != b.size())
        return INFINITY;
    double diff = 0.0, scale = 1e-3;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!std::isfinite(a[i]))
            return INFINITY;
        diff = std::max(diff, static_cast<double>(std::fabs(a[i] - b[i])));
        scale = std::max(scale, static_cast<double>(std::fabs(b[i])));
    }
    return diff / scale;
}

std::vector<float> randomVector(size_t n, unsigned seed, float scale)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> v(n);
    for (float &x : v)
        x = dist(rng);
    return v;
}

Planar randomPlanar(Shape shape, unsigned seed, float scale)
{
    return Planar{shape, randomVector(static_cast<size_t>(shape.c) * shape.h * shape.w, seed, scale)};
}

} // namespace brivelle::onednn::testing
