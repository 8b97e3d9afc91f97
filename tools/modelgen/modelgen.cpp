#include "modelgen.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace brivelle::modelgen {

namespace {

void put_u32(std::vector<unsigned char> &out, uint32_t v)
{
    for (int k = 0; k < 4; k++)
        out.push_back(static_cast<unsigned char>(v >> (8 * k)));
}

void put_f32(std::vector<unsigned char> &out, float f)
{
    uint32_t v;
    std::memcpy(&v, &f, 4);
    put_u32(out, v);
}

// Round to nearest even; weights are small, so no overflow or subnormal care is needed beyond flushing.
uint16_t to_half(float f)
{
    uint32_t x;
    std::memcpy(&x, &f, 4);
    const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
    const uint32_t abs = x & 0x7fffffffu;
    if (abs < 0x38800000u)
        return sign; // below the smallest normal half: flush
    if (abs >= 0x477ff000u)
        return static_cast<uint16_t>(sign | 0x7c00u);
    uint32_t half = (abs >> 13) - ((127 - 15) << 10);
    const uint32_t rest = abs & 0x1fffu;
    if (rest > 0x1000u || (rest == 0x1000u && (half & 1u)))
        half++;
    return static_cast<uint16_t>(sign | half);
}

std::string float_text(float v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%e", static_cast<double>(v));
    return buf;
}

} // namespace

GraphBuilder::GraphBuilder(Storage s, uint32_t seed) : storage(s), state(seed ? seed : 1) {}

std::vector<float> GraphBuilder::random(size_t n, float scale)
{
    std::vector<float> v(n);
    for (float &x : v) {
        // xorshift32: the same sequence everywhere, unlike the standard distributions.
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        x = (static_cast<float>(state >> 8) / 16777216.f * 2.f - 1.f) * scale;
    }
    return v;
}

void GraphBuilder::input(const std::string &top, int w, int h, int c)
{
    std::string params;
    if (w || h || c)
        params = "0=" + std::to_string(w) + " 1=" + std::to_string(h) + " 2=" + std::to_string(c);
    layer("Input", {}, {top}, params);
}

void GraphBuilder::layer(const std::string &type, const std::vector<std::string> &bottoms,
                         const std::vector<std::string> &tops, const std::string &params)
{
    std::ostringstream line;
    line << type << ' ' << type << '_' << names++ << ' ' << bottoms.size() << ' ' << tops.size();
    for (const std::string &b : bottoms)
        line << ' ' << b;
    for (const std::string &t : tops)
        line << ' ' << t;
    if (!params.empty())
        line << ' ' << params;
    body += line.str() + '\n';
    layer_count++;
    blob_count += static_cast<int>(tops.size());
}

void GraphBuilder::tagged_array(const std::vector<float> &values)
{
    if (storage == Storage::Fp16) {
        put_u32(bin, 0x01306B47u);
        for (float v : values) {
            const uint16_t h = to_half(v);
            bin.push_back(static_cast<unsigned char>(h & 0xff));
            bin.push_back(static_cast<unsigned char>(h >> 8));
        }
        if (values.size() % 2)
            bin.insert(bin.end(), 2, 0);
        return;
    }
    put_u32(bin, 0);
    for (float v : values)
        put_f32(bin, v);
}

void GraphBuilder::raw_array(const std::vector<float> &values)
{
    for (float v : values)
        put_f32(bin, v);
}

void GraphBuilder::conv(const std::string &bottom, const std::string &top, int in_channels, int out_channels,
                        int kernel, int stride, int pad, int activation,
                        const std::vector<float> &activation_params, const std::vector<float> &weights,
                        const std::vector<float> &bias, int group)
{
    const int count = out_channels * (in_channels / group) * kernel * kernel;
    std::string params = "0=" + std::to_string(out_channels) + " 1=" + std::to_string(kernel);
    if (stride != 1)
        params += " 3=" + std::to_string(stride);
    params += " 4=" + std::to_string(pad < 0 ? kernel / 2 : pad) + " 5=1 6=" + std::to_string(count);
    if (group != 1)
        params += " 7=" + std::to_string(group);
    if (activation) {
        params += " 9=" + std::to_string(activation);
        if (!activation_params.empty()) {
            params += " -23310=" + std::to_string(activation_params.size());
            for (float p : activation_params)
                params += "," + float_text(p);
        }
    }
    layer(group == 1 ? "Convolution" : "ConvolutionDepthWise", {bottom}, {top}, params);
    // He-like scale keeps activations in range through deep stacks.
    const float scale = 1.f / std::sqrt(static_cast<float>(in_channels / group * kernel * kernel));
    tagged_array(weights.empty() ? random(static_cast<size_t>(count), scale) : weights);
    raw_array(bias.empty() ? random(static_cast<size_t>(out_channels), 0.01f) : bias);
}

void GraphBuilder::prelu(const std::string &bottom, const std::string &top, int channels,
                         const std::vector<float> &slopes)
{
    layer("PReLU", {bottom}, {top}, "0=" + std::to_string(channels));
    if (slopes.empty()) {
        std::vector<float> s = random(static_cast<size_t>(channels), 0.05f);
        for (float &v : s)
            v += 0.2f;
        raw_array(s);
    } else {
        raw_array(slopes);
    }
}

ModelFiles GraphBuilder::finish() const
{
    ModelFiles f;
    f.param = "7767517\n" + std::to_string(layer_count) + ' ' + std::to_string(blob_count) + '\n' + body;
    f.bin = bin;
    return f;
}

namespace {

// Splits a blob into n uses when n > 1; returns the names to consume, in order.
std::vector<std::string> uses(GraphBuilder &g, const std::string &blob, int n)
{
    if (n == 1)
        return {blob};
    std::vector<std::string> tops;
    for (int i = 0; i < n; i++)
        tops.push_back(blob + "_s" + std::to_string(i));
    g.layer("Split", {blob}, tops);
    return tops;
}

} // namespace

ModelFiles rrdbnet(const RrdbConfig &cfg, Storage storage, uint32_t seed)
{
    GraphBuilder g(storage, seed);
    const std::vector<float> lrelu{0.2f};
    const std::string residual_coeffs = "0=1 -23301=2,2.000000e-01,1.000000e+00";
    int n = 0;
    auto fresh = [&n] {
        return "b" + std::to_string(n++);
    };

    g.input("data");
    std::string x = "data";
    int in_channels = 3;
    if (cfg.scale == 2 || cfg.scale == 1) {
        const int fold = 4 / cfg.scale;
        const std::string t = fresh();
        g.layer("Reorg", {x}, {t}, "0=" + std::to_string(fold));
        x = t;
        in_channels = 3 * fold * fold;
    }
    const std::string feat = fresh();
    g.conv(x, feat, in_channels, cfg.features, 3);

    // The first block's input also feeds the trunk's final sum.
    std::string feat_for_sum;
    std::string cur = feat;
    const int F = cfg.features, G = cfg.growth;
    for (int b = 0; b < cfg.blocks; b++) {
        std::string block_in_residual;
        std::string rdb_in = cur;
        for (int r = 0; r < 3; r++) {
            // Uses of the RDB input: conv1, four concats, its residual; plus the RRDB residual on the first
            // RDB and the trunk sum on the very first.
            const int extra = (r == 0 ? 1 : 0) + (b == 0 && r == 0 ? 1 : 0);
            std::vector<std::string> xin = uses(g, rdb_in, 6 + extra);
            size_t next = 0;
            if (b == 0 && r == 0)
                feat_for_sum = xin[next++];
            if (r == 0)
                block_in_residual = xin[next++];
            const std::string x_conv1 = xin[next++];
            std::vector<std::string> x_cat(xin.begin() + static_cast<long>(next),
                                           xin.begin() + static_cast<long>(next) + 4);
            const std::string x_res = xin[next + 4];

            std::vector<std::vector<std::string>> prev; // split uses of x1..x3
            const std::string x1 = fresh();
            g.conv(x_conv1, x1, F, G, 3, 1, -1, 2, lrelu);
            prev.push_back(uses(g, x1, 4));
            std::vector<std::string> cat = {x_cat[0], prev[0][0]};
            std::string c1 = fresh();
            g.layer("Concat", cat, {c1});
            const std::string x2 = fresh();
            g.conv(c1, x2, F + G, G, 3, 1, -1, 2, lrelu);
            prev.push_back(uses(g, x2, 3));
            std::string c2 = fresh();
            g.layer("Concat", {x_cat[1], prev[0][1], prev[1][0]}, {c2});
            const std::string x3 = fresh();
            g.conv(c2, x3, F + 2 * G, G, 3, 1, -1, 2, lrelu);
            prev.push_back(uses(g, x3, 2));
            std::string c3 = fresh();
            g.layer("Concat", {x_cat[2], prev[0][2], prev[1][1], prev[2][0]}, {c3});
            const std::string x4 = fresh();
            g.conv(c3, x4, F + 3 * G, G, 3, 1, -1, 2, lrelu);
            std::string c4 = fresh();
            g.layer("Concat", {x_cat[3], prev[0][3], prev[1][2], prev[2][1], x4}, {c4});
            const std::string x5 = fresh();
            g.conv(c4, x5, F + 4 * G, F, 3);
            const std::string out = fresh();
            g.layer("Eltwise", {x5, x_res}, {out}, residual_coeffs);
            rdb_in = out;
        }
        const std::string out = fresh();
        g.layer("Eltwise", {rdb_in, block_in_residual}, {out}, residual_coeffs);
        cur = out;
    }
    if (cfg.blocks == 0)
        feat_for_sum = cur;
    const std::string body = fresh();
    g.conv(cur, body, F, F, 3);
    std::string sum = fresh();
    g.layer("BinaryOp", {feat_for_sum, body}, {sum});
    for (int k = 0; k < 2; k++) {
        const std::string up = fresh();
        g.layer("Interp", {sum}, {up}, "0=1 1=2.000000e+00 2=2.000000e+00");
        sum = fresh();
        g.conv(up, sum, F, F, 3, 1, -1, 2, lrelu);
    }
    const std::string hr = fresh();
    g.conv(sum, hr, F, F, 3, 1, -1, 2, lrelu);
    g.conv(hr, "output", F, 3, 3);
    return g.finish();
}

ModelFiles srvgg(const SrvggConfig &cfg, Storage storage, uint32_t seed)
{
    GraphBuilder g(storage, seed);
    g.input("data");
    g.layer("Split", {"data"}, {"data_s0", "data_s1"});
    g.conv("data_s1", "c0", 3, cfg.features, 3);
    g.prelu("c0", "a0", cfg.features);
    std::string cur = "a0";
    for (int i = 1; i <= cfg.convs; i++) {
        const std::string c = "c" + std::to_string(i), a = "a" + std::to_string(i);
        g.conv(cur, c, cfg.features, cfg.features, 3);
        g.prelu(c, a, cfg.features);
        cur = a;
    }
    const int r = cfg.scale;
    g.conv(cur, "last", cfg.features, 3 * r * r, 3);
    g.layer("PixelShuffle", {"last"}, {"shuffled"}, "0=" + std::to_string(r));
    g.layer("Interp", {"data_s0"}, {"base"},
            "0=1 1=" + float_text(static_cast<float>(r)) + " 2=" + float_text(static_cast<float>(r)));
    g.layer("BinaryOp", {"shuffled", "base"}, {"output"});
    return g.finish();
}

bool pad_to_size(ModelFiles &files, size_t param_bytes, size_t bin_bytes, std::string &err)
{
    if (files.param.size() > param_bytes || files.bin.size() > bin_bytes) {
        err = "already larger than the wanted size: .param " + std::to_string(files.param.size()) + " > " +
              std::to_string(param_bytes) + " or .bin " + std::to_string(files.bin.size()) + " > " +
              std::to_string(bin_bytes);
        return false;
    }
    // Blank lines after the last layer are ignored by the loader; a padded .bin only passes a check of
    // sizes, as the loader refuses weights that do not end where their file ends.
    std::string pad(param_bytes - files.param.size(), ' ');
    if (!pad.empty())
        pad.back() = '\n';
    files.param += pad;
    files.bin.resize(bin_bytes, 0);
    return true;
}

namespace {

bool write_atomic(const std::string &path, const void *data, size_t size, std::string &err)
{
    const std::string tmp = path + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f) {
        err = "cannot create '" + tmp + "'";
        return false;
    }
    const bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !ok) {
        std::remove(tmp.c_str());
        err = "cannot write '" + tmp + "'";
        return false;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        err = "cannot rename '" + tmp + "' to '" + path + "'";
        return false;
    }
    return true;
}

} // namespace

bool write_files(const ModelFiles &files, const std::string &param_path, const std::string &bin_path,
                 std::string &err)
{
    return write_atomic(param_path, files.param.data(), files.param.size(), err) &&
           write_atomic(bin_path, files.bin.data(), files.bin.size(), err);
}

} // namespace brivelle::modelgen
