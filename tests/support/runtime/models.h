#pragma once

// Small ncnn models written in memory for the runtime's tests: a .param text and its .bin bytes with
// seeded random weights.
#include "support/runtime/random.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace rtest {

class ModelWriter {
public:
    explicit ModelWriter(unsigned seed) : random_(seed) {}

    // Adds a layer line; weights are appended by the helpers below in file order.
    void layer(const std::string &type, const std::string &name, const std::vector<std::string> &bottoms,
               const std::vector<std::string> &tops, const std::string &params = "")
    {
        std::ostringstream line;
        line << type << " " << name << " " << bottoms.size() << " " << tops.size();
        for (const std::string &b : bottoms)
            line << " " << b;
        for (const std::string &t : tops)
            line << " " << t;
        if (!params.empty())
            line << " " << params;
        lines_.push_back(line.str());
        for (const std::string &t : tops)
            blobs_.push_back(t);
    }

    void input(const std::string &name) { layer("Input", "input_" + name, {}, {name}, "0=0 1=0 2=0"); }

    // Convolution with an fp32-tagged weight array and a bias.
    void conv(const std::string &name, const std::string &in, const std::string &out, int inch, int outch,
              int k, const std::string &extra = "")
    {
        const int n = inch * outch * k * k;
        layer("Convolution", name, {in}, {out},
              "0=" + std::to_string(outch) + " 1=" + std::to_string(k) + " 4=" + std::to_string(k / 2) +
                  " 5=1 6=" + std::to_string(n) + (extra.empty() ? "" : " " + extra));
        tag(0);
        floats(size_t(n), 1.f / float(k * std::sqrt(float(inch))));
        floats(size_t(outch), 0.1f);
    }

    // A convolution whose parameters are written out in full; weights follow from them.
    void convWithParams(const std::string &name, const std::string &in, const std::string &out, int weights,
                        int outch, bool bias, const std::string &params)
    {
        layer("Convolution", name, {in}, {out}, params);
        tag(0);
        floats(size_t(weights), 0.3f);
        if (bias)
            floats(size_t(outch), 0.1f);
    }

    void prelu(const std::string &name, const std::string &in, const std::string &out, int slopes)
    {
        layer("PReLU", name, {in}, {out}, "0=" + std::to_string(slopes));
        floats(size_t(slopes), 0.3f);
    }

    std::string param() const
    {
        std::ostringstream s;
        s << "7767517\n" << lines_.size() << " " << blobs_.size() << "\n";
        for (const std::string &l : lines_)
            s << l << "\n";
        return s.str();
    }
    const std::vector<unsigned char> &bin() const { return bin_; }

private:
    void tag(uint32_t v)
    {
        const size_t at = bin_.size();
        bin_.resize(at + 4);
        std::memcpy(&bin_[at], &v, 4);
    }
    void floats(size_t n, float scale)
    {
        for (size_t i = 0; i < n; i++) {
            const float f = random_.uniform(-scale, scale);
            const size_t at = bin_.size();
            bin_.resize(at + 4);
            std::memcpy(&bin_[at], &f, 4);
        }
    }

    Random random_;
    std::vector<std::string> lines_;
    std::vector<std::string> blobs_;
    std::vector<unsigned char> bin_;
};

// RRDBNet as Real-ESRGAN exports it: dense blocks of five convolutions joined by Concat, residuals
// scaled by 0.2 in Eltwise, a trunk sum in BinaryOp, then two nearest x2 upsamplings.
inline ModelWriter rrdbnet(int blocks, int features, int growth, unsigned seed)
{
    ModelWriter m(seed);
    const std::string lrelu = "9=2 -23310=1,2.000000e-01";
    m.input("data");
    m.conv("conv_first", "data", "fea", 3, features, 3);
    m.layer("Split", "split_fea", {"fea"}, {"fea_a", "fea_b"});
    std::string x = "fea_a";
    for (int b = 0; b < blocks; b++) {
        const std::string rrdbIn = x;
        m.layer("Split", "split_rrdb" + std::to_string(b), {x}, {x + "_r", x + "_d"});
        x = x + "_d";
        for (int d = 0; d < 3; d++) {
            const std::string p = "b" + std::to_string(b) + "d" + std::to_string(d) + "_";
            auto name = [&](const std::string &s, int i) {
                return p + s + std::to_string(i);
            };
            m.layer(
                "Split", p + "split_in", {x},
                {name("in", 0), name("in", 1), name("in", 2), name("in", 3), name("in", 4), p + "in_res"});
            // out_k is read by every later conv of the block: one Split copy per reader.
            std::vector<std::vector<std::string>> copies(5);
            for (int c = 0; c < 5; c++) {
                std::vector<std::string> catIn = {name("in", c)};
                for (int k = 0; k < c; k++)
                    catIn.push_back(copies[size_t(k)][size_t(c - k - 1)]);
                std::string cin = catIn[0];
                if (catIn.size() > 1) {
                    cin = name("cat", c);
                    m.layer("Concat", name("concat", c), catIn, {cin}, "0=0");
                }
                const std::string out = name("x", c);
                if (c == 4) {
                    m.conv(name("conv", c), cin, out, features + c * growth, features, 3);
                    break;
                }
                m.conv(name("conv", c), cin, out, features + c * growth, growth, 3, lrelu);
                const int readers = 4 - c;
                if (readers == 1) {
                    copies[size_t(c)] = {out};
                } else {
                    for (int r = 0; r < readers; r++)
                        copies[size_t(c)].push_back(out + "_" + std::to_string(r));
                    m.layer("Split", name("split_x", c), {out}, copies[size_t(c)]);
                }
            }
            m.layer("Eltwise", p + "res", {name("x", 4), p + "in_res"}, {p + "out"},
                    "0=1 -23301=2,2.000000e-01,1.000000e+00");
            x = p + "out";
        }
        m.layer("Eltwise", "rrdb_res" + std::to_string(b), {x, rrdbIn + "_r"}, {"rrdb" + std::to_string(b)},
                "0=1 -23301=2,2.000000e-01,1.000000e+00");
        x = "rrdb" + std::to_string(b);
    }
    m.conv("conv_body", x, "body", features, features, 3);
    m.layer("BinaryOp", "trunk", {"fea_b", "body"}, {"trunk"}, "0=0");
    m.layer("Interp", "up1", {"trunk"}, {"up1"}, "0=1 1=2.000000e+00 2=2.000000e+00");
    m.conv("conv_up1", "up1", "u1", features, features, 3, lrelu);
    m.layer("Interp", "up2", {"u1"}, {"up2"}, "0=1 1=2.000000e+00 2=2.000000e+00");
    m.conv("conv_up2", "up2", "u2", features, features, 3, lrelu);
    m.conv("conv_hr", "u2", "hr", features, features, 3, lrelu);
    m.conv("conv_last", "hr", "output", features, 3, 3);
    return m;
}

// The compact SRVGG network: conv + PReLU pairs, a PixelShuffle, and the input upscaled by Interp
// added back.
inline ModelWriter srvgg(int convs, int features, int scale, unsigned seed)
{
    ModelWriter m(seed);
    m.input("data");
    m.layer("Split", "split_in", {"data"}, {"in_a", "in_b"});
    std::string x = "in_a";
    int inch = 3;
    for (int i = 0; i < convs; i++) {
        const std::string c = "c" + std::to_string(i);
        m.conv("conv" + std::to_string(i), x, c, inch, features, 3);
        m.prelu("prelu" + std::to_string(i), c, c + "_p", features);
        x = c + "_p";
        inch = features;
    }
    m.conv("conv_last", x, "last", features, 3 * scale * scale, 3);
    m.layer("PixelShuffle", "shuffle", {"last"}, {"shuffled"}, "0=" + std::to_string(scale));
    m.layer("Interp", "base", {"in_b"}, {"base"},
            "0=1 1=" + std::to_string(scale) + ".000000e+00 2=" + std::to_string(scale) + ".000000e+00");
    m.layer("BinaryOp", "add", {"shuffled", "base"}, {"output"}, "0=0");
    return m;
}

} // namespace rtest
