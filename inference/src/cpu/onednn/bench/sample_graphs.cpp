#include "sample_graphs.h"

#include <cmath>
#include <random>
#include <string>

namespace brivelle::onednn {

namespace {

class Builder {
public:
    explicit Builder(unsigned seed) : rng_(seed) {}

    int blob() { return g.blobCount++; }

    int input()
    {
        const int t = blob();
        add(OpType::Input, {}, t);
        return t;
    }

    int conv(int src, int in, int out, bool leaky)
    {
        const int t = blob();
        FastOp &op = add(OpType::Convolution, {src}, t);
        op.outChannels = out;
        op.kernelW = op.kernelH = 3;
        op.padLeft = op.padRight = op.padTop = op.padBottom = 1;
        // Scaled so that activations neither vanish nor explode through deep stacks.
        std::normal_distribution<float> dist(0.f, std::sqrt(1.f / (9.f * in)));
        op.weights.resize(static_cast<size_t>(out) * in * 9);
        for (float &w : op.weights)
            w = dist(rng_);
        std::uniform_real_distribution<float> bias(-0.05f, 0.05f);
        op.bias.resize(out);
        for (float &b : op.bias)
            b = bias(rng_);
        if (leaky) {
            op.activation.type = 2;
            op.activation.a = 0.2f;
        }
        return t;
    }

    int concat(const std::vector<int> &parts)
    {
        const int t = blob();
        add(OpType::Concat, parts, t);
        return t;
    }

    int residual(int scaled, int identity)
    {
        const int t = blob();
        FastOp &op = add(OpType::Eltwise, {scaled, identity}, t);
        op.operation = 1;
        op.coeffs = {0.2f, 1.f};
        return t;
    }

    FastOp &add(OpType type, std::vector<int> bottoms, int top)
    {
        FastOp op;
        op.type = type;
        op.name = "layer" + std::to_string(g.ops.size());
        op.bottoms = std::move(bottoms);
        op.tops = {top};
        g.ops.push_back(std::move(op));
        return g.ops.back();
    }

    FastGraph g;

private:
    std::mt19937 rng_;
};

} // namespace

SampleGraph makeRrdbNetGraph(int blocks, int features, int growth, unsigned seed)
{
    Builder b(seed);
    SampleGraph s;
    s.input = b.input();
    const int first = b.conv(s.input, 3, features, false);
    int x = first;
    for (int block = 0; block < blocks; ++block) {
        const int blockIn = x;
        for (int dense = 0; dense < 3; ++dense) {
            std::vector<int> parts{x};
            int channels = features;
            for (int step = 0; step < 4; ++step) {
                const int src = parts.size() == 1 ? x : b.concat(parts);
                parts.push_back(b.conv(src, channels, growth, true));
                channels += growth;
            }
            const int last = b.conv(b.concat(parts), channels, features, false);
            x = b.residual(last, x);
        }
        x = b.residual(x, blockIn);
    }
    const int body = b.conv(x, features, features, false);
    const int sum = b.blob();
    FastOp &add = b.add(OpType::BinaryOp, {first, body}, sum);
    add.operation = 0;
    x = sum;
    for (int up = 0; up < 2; ++up) {
        const int t = b.blob();
        FastOp &interp = b.add(OpType::Interp, {x}, t);
        interp.resizeType = 1;
        interp.heightScale = interp.widthScale = 2.f;
        x = b.conv(t, features, features, true);
    }
    x = b.conv(x, features, features, true);
    s.output = b.conv(x, features, 3, false);
    s.graph = b.g;
    return s;
}

SampleGraph makeSrvggGraph(int convs, int features, unsigned seed)
{
    Builder b(seed);
    SampleGraph s;
    s.input = b.input();
    int x = s.input;
    int channels = 3;
    for (int i = 0; i <= convs; ++i) {
        const int c = b.conv(x, channels, features, false);
        const int t = b.blob();
        FastOp &prelu = b.add(OpType::PReLU, {c}, t);
        prelu.slopes.assign(features, 0.f);
        for (int k = 0; k < features; ++k)
            prelu.slopes[k] = 0.05f + 0.2f * k / features;
        x = t;
        channels = features;
    }
    const int last = b.conv(x, features, 3 * 16, false);
    const int shuffled = b.blob();
    FastOp &shuffle = b.add(OpType::PixelShuffle, {last}, shuffled);
    shuffle.factor = 4;
    const int base = b.blob();
    FastOp &interp = b.add(OpType::Interp, {s.input}, base);
    interp.heightScale = interp.widthScale = 4.f;
    s.output = b.blob();
    FastOp &sum = b.add(OpType::BinaryOp, {shuffled, base}, s.output);
    sum.operation = 0;
    s.graph = b.g;
    return s;
}

} // namespace brivelle::onednn
