#include "sample_graphs.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

namespace brivelle::onednn {

namespace {

std::string number(float v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%e", static_cast<double>(v));
    return text;
}

class Builder {
public:
    explicit Builder(unsigned seed) : rng_(seed) {}

    std::string input()
    {
        layer("Input", {}, "data", "0=0 1=0 2=0");
        return "data";
    }

    std::string conv(const std::string &src, int in, int out, bool leaky, const std::string &top = {})
    {
        const int weights = out * in * 9;
        const std::string t = layer("Convolution", {src}, top,
                                    "0=" + std::to_string(out) + " 1=3 4=1 5=1 6=" + std::to_string(weights) +
                                        (leaky ? " 9=2 -23310=1," + number(0.2f) : ""));
        // Scaled so that activations neither vanish nor explode through deep stacks.
        std::normal_distribution<float> dist(0.f, std::sqrt(1.f / (9.f * in)));
        append(0.f); // the array's tag: plain fp32
        for (int i = 0; i < weights; ++i)
            append(dist(rng_));
        std::uniform_real_distribution<float> bias(-0.05f, 0.05f);
        for (int i = 0; i < out; ++i)
            append(bias(rng_));
        return t;
    }

    std::string concat(const std::vector<std::string> &parts) { return layer("Concat", parts, {}, "0=0"); }

    std::string residual(const std::string &scaled, const std::string &identity)
    {
        return layer("Eltwise", {scaled, identity}, {}, "0=1 -23301=2," + number(0.2f) + "," + number(1.f));
    }

    std::string prelu(const std::string &src, int channels)
    {
        const std::string t = layer("PReLU", {src}, {}, "0=" + std::to_string(channels));
        for (int k = 0; k < channels; ++k)
            append(0.05f + 0.2f * k / channels);
        return t;
    }

    std::string layer(const std::string &type, const std::vector<std::string> &bottoms, std::string top,
                      const std::string &params)
    {
        if (top.empty())
            top = "b" + std::to_string(blobs_);
        ++blobs_;
        std::ostringstream line;
        line << type << " layer" << lines_.size() << " " << bottoms.size() << " 1";
        for (const std::string &b : bottoms)
            line << " " << b;
        line << " " << top << " " << params;
        lines_.push_back(line.str());
        return top;
    }

    SampleGraph finish()
    {
        SampleGraph s;
        std::ostringstream text;
        text << "7767517\n" << lines_.size() << " " << blobs_ << "\n";
        for (const std::string &l : lines_)
            text << l << "\n";
        s.param = text.str();
        s.bin = bin_;
        auto graph = std::make_shared<ncnn::Graph>();
        std::string why;
        if (loadGraph(s.param, s.bin, *graph, why) != 0) {
            std::fprintf(stderr, "sample graph: %s\n", why.c_str());
            std::abort();
        }
        s.input = graph->find_blob("data");
        s.output = graph->find_blob("output");
        s.graph = std::move(graph);
        return s;
    }

private:
    void append(float v)
    {
        const size_t at = bin_.size();
        bin_.resize(at + sizeof v);
        std::memcpy(bin_.data() + at, &v, sizeof v);
    }

    std::mt19937 rng_;
    std::vector<std::string> lines_;
    int blobs_ = 0;
    std::vector<unsigned char> bin_;
};

} // namespace

int loadGraph(const std::string &param, const std::vector<unsigned char> &bin, ncnn::Graph &graph,
              std::string &why)
{
    if (const int code = ncnn::parse_param(param.data(), param.size(), graph, why); code != 0)
        return code;
    if (const int code = ncnn::load_weights(bin.data(), bin.size(), graph, why); code != 0)
        return code;
    ncnn::Option opt;
    for (auto &layer : graph.layers) {
        const int ret = layer->create_pipeline(opt);
        if (ret != 0) {
            why = layer->name + ": pipeline not created";
            return ret;
        }
    }
    return 0;
}

SampleGraph makeRrdbNetGraph(int blocks, int features, int growth, unsigned seed)
{
    Builder b(seed);
    const std::string input = b.input();
    const std::string first = b.conv(input, 3, features, false);
    std::string x = first;
    for (int block = 0; block < blocks; ++block) {
        const std::string blockIn = x;
        for (int dense = 0; dense < 3; ++dense) {
            std::vector<std::string> parts{x};
            int channels = features;
            for (int step = 0; step < 4; ++step) {
                const std::string src = parts.size() == 1 ? x : b.concat(parts);
                parts.push_back(b.conv(src, channels, growth, true));
                channels += growth;
            }
            const std::string last = b.conv(b.concat(parts), channels, features, false);
            x = b.residual(last, x);
        }
        x = b.residual(x, blockIn);
    }
    const std::string body = b.conv(x, features, features, false);
    x = b.layer("BinaryOp", {first, body}, {}, "0=0");
    for (int up = 0; up < 2; ++up)
        x = b.conv(b.layer("Interp", {x}, {}, "0=1 1=" + number(2.f) + " 2=" + number(2.f)), features,
                   features, true);
    x = b.conv(x, features, features, true);
    b.conv(x, features, 3, false, "output");
    return b.finish();
}

SampleGraph makeSrvggGraph(int convs, int features, unsigned seed)
{
    Builder b(seed);
    const std::string input = b.input();
    std::string x = input;
    int channels = 3;
    for (int i = 0; i <= convs; ++i) {
        x = b.prelu(b.conv(x, channels, features, false), features);
        channels = features;
    }
    const std::string shuffled = b.layer("PixelShuffle", {b.conv(x, features, 3 * 16, false)}, {}, "0=4");
    const std::string base = b.layer("Interp", {input}, {}, "0=1 1=" + number(4.f) + " 2=" + number(4.f));
    b.layer("BinaryOp", {shuffled, base}, "output", "0=0");
    return b.finish();
}

} // namespace brivelle::onednn
