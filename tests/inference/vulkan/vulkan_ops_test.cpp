// Each GPU kernel against a direct loop written here, on shapes that fit no block size and channel
// counts that fill no whole group of four.
#include "support/runtime/compare.h"
#include "support/runtime/gpu.h"
#include "support/runtime/random.h"

#include "layers/convolution.h"
#include "vulkan/command.h"
#include "vulkan/layers/binaryop_vulkan.h"
#include "vulkan/layers/concat_vulkan.h"
#include "vulkan/layers/convolution_vulkan.h"
#include "vulkan/tensor_dispatch.h"

#include <cmath>
#include <functional>

namespace {

using brivelle::vk::Stream;
using brivelle::vk::Tensor;
using rtest::GpuTest;
using rtest::kFp32Tolerance;
using rtest::randomVector;
using rtest::relativeError;

struct Host {
    int w = 0, h = 0, c = 0;
    std::vector<float> v;
    float at(int x, int y, int z) const { return v[(size_t(z) * h + y) * w + x]; }
};

Host makeHost(int w, int h, int c, unsigned seed)
{
    return Host{w, h, c, randomVector(size_t(w) * h * c, seed)};
}

// A loaded convolution layer with these weights (and bias, when any); the caller sets the rest.
ncnn::Convolution convolutionLayer(int inch, int outch, int k, const std::vector<float> &weights,
                                   const std::vector<float> &bias)
{
    ncnn::Convolution l;
    l.num_output = outch;
    l.kernel_w = l.kernel_h = k;
    l.weight_data_size = inch * outch * k * k;
    l.weight_data = ncnn::Mat(int(weights.size()), const_cast<float *>(weights.data())).clone();
    l.bias_term = bias.empty() ? 0 : 1;
    if (!bias.empty())
        l.bias_data = ncnn::Mat(int(bias.size()), const_cast<float *>(bias.data())).clone();
    return l;
}

Tensor upload(Stream &s, const Host &m)
{
    Tensor t;
    EXPECT_TRUE(brivelle::vk::allocate(s, t, m.w, m.h, m.c));
    EXPECT_EQ(brivelle::vk::upload_planes(s, m.v.data(), size_t(m.w) * m.h, t), 0);
    return t;
}

// The planes of t; the padding lanes of its last channel group must have come back zero.
std::vector<float> download(Stream &s, const Tensor &t)
{
    std::vector<float> grouped(t.count(), -1.f);
    EXPECT_EQ(s.download(t.buf, t.bytes(), grouped.data()), 0);
    EXPECT_EQ(s.finish(), 0);
    const size_t plane = size_t(t.w) * t.h;
    for (int l = t.c % 4; l > 0 && l < 4; l++)
        for (size_t i = 0; i < plane; i++)
            EXPECT_EQ(grouped[(size_t(t.groups() - 1) * plane + i) * 4 + size_t(l)], 0.f) << "lane " << l;
    std::vector<float> out(plane * size_t(t.c));
    brivelle::vk::unpack(grouped.data(), t.w, t.h, t.c, out.data(), plane);
    return out;
}

float act(float v, int type, float a, float b)
{
    switch (type) {
    case 1:
        return std::max(v, 0.f);
    case 2:
        return v > 0 ? v : v * a;
    case 3:
        return std::min(std::max(v, a), b);
    case 4:
        return 1.f / (1.f + std::exp(-v));
    case 5:
        return v * std::tanh(std::log(std::exp(v) + 1.f));
    case 6:
        return v * std::min(std::max(v * a + b, 0.f), 1.f);
    default:
        return v;
    }
}

struct ConvCase {
    int inw, inh, inch, outch, k, stride, dilation, pad, act;
    bool residual;
    // The block shape devices with smaller limits get; -1 for the one this device gets.
    int tile = -1;
    // Winograd F(m, 3) forced (2 or 4), 0 forced off, -1 as the shape decides.
    int winograd = -1;
    // The reduction depth a device with more shared memory gets (16), or 0 for this device's.
    int depth = 0;
};

class ConvolutionTest : public GpuTest, public ::testing::WithParamInterface<ConvCase> {};

TEST_P(ConvolutionTest, MatchesDirectLoop)
{
    const ConvCase c = GetParam();
    const std::vector<float> weights = randomVector(size_t(c.outch) * c.inch * c.k * c.k, 7, -0.5f, 0.5f);
    const std::vector<float> bias = randomVector(size_t(c.outch), 8);
    ncnn::Convolution p = convolutionLayer(c.inch, c.outch, c.k, weights, bias);
    p.stride_w = p.stride_h = c.stride;
    p.dilation_w = p.dilation_h = c.dilation;
    p.pad_left = p.pad_right = p.pad_top = p.pad_bottom = c.pad;
    p.pad_value = c.pad == 2 ? 0.25f : 0.f;
    p.activation_type = c.act;
    p.activation_params = {c.act == 3 ? -0.3f : c.act == 6 ? 0.2f : 0.1f, c.act == 3 ? 0.4f : 0.5f};
    // Forced Winograd runs in several passes of a few tiles each.
    const brivelle::vk::ConvChoice choice{c.tile, c.depth, c.winograd, c.winograd > 0 ? 3 : 0};
    brivelle::vk::Convolution conv;
    ASSERT_EQ(conv.create(*device, p, choice), 0);
    if (c.winograd >= 0) {
        EXPECT_EQ(conv.winograd(), c.winograd);
    }
    // Up to four outputs take the narrow kernel unless a GEMM block shape is forced.
    EXPECT_EQ(conv.narrow(), conv.winograd() == 0 && c.outch <= 4 && c.tile < 0);

    int outw = 0, outh = 0, padl = 0, padt = 0;
    ASSERT_TRUE(conv.outputShape(c.inw, c.inh, outw, outh, padl, padt));
    const Host in = makeHost(c.inw, c.inh, c.inch, 9);
    const Host res = makeHost(outw, outh, c.outch, 10);
    Stream s(*device);
    Tensor tin = upload(s, in);
    Tensor tres = upload(s, res);
    Tensor out;
    ASSERT_EQ(conv.forward(s, tin, out, c.residual ? &tres : nullptr, 0.2f, 1.f), 0);
    const std::vector<float> got = download(s, out);

    std::vector<float> want(size_t(outw) * outh * c.outch);
    const int extent = c.dilation * (c.k - 1) + 1;
    ASSERT_EQ(outw, (c.inw + 2 * c.pad - extent) / c.stride + 1);
    for (int oc = 0; oc < c.outch; oc++)
        for (int y = 0; y < outh; y++)
            for (int x = 0; x < outw; x++) {
                double sum = bias[oc];
                for (int ic = 0; ic < c.inch; ic++)
                    for (int ky = 0; ky < c.k; ky++)
                        for (int kx = 0; kx < c.k; kx++) {
                            const int iy = y * c.stride + ky * c.dilation - c.pad;
                            const int ix = x * c.stride + kx * c.dilation - c.pad;
                            const bool inside = iy >= 0 && iy < c.inh && ix >= 0 && ix < c.inw;
                            const float v = inside ? in.at(ix, iy, ic) : p.pad_value;
                            sum += double(v) * weights[((size_t(oc) * c.inch + ic) * c.k + ky) * c.k + kx];
                        }
                float v = act(float(sum), c.act, p.activation_params[0], p.activation_params[1]);
                const size_t o = (size_t(oc) * outh + y) * outw + x;
                if (c.residual)
                    v = v * 0.2f + res.v[o];
                want[o] = v;
            }
    EXPECT_LE(relativeError(got, want), kFp32Tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ConvolutionTest,
    ::testing::Values(
        ConvCase{7, 5, 3, 64, 3, 1, 1, 1, 0, false}, ConvCase{13, 11, 33, 7, 3, 1, 1, 1, 2, false},
        ConvCase{9, 10, 17, 32, 3, 1, 1, 1, 1, true}, ConvCase{1, 1, 5, 3, 3, 1, 1, 1, 3, false},
        ConvCase{11, 6, 8, 40, 1, 1, 1, 0, 4, true}, ConvCase{12, 9, 6, 5, 5, 2, 1, 2, 6, false},
        ConvCase{10, 10, 4, 9, 3, 2, 2, 2, 5, false}, ConvCase{23, 17, 70, 65, 3, 1, 1, 1, 0, true},
        ConvCase{17, 9, 21, 3, 3, 2, 2, 2, 2, true}, ConvCase{6, 5, 8, 4, 1, 1, 1, 0, 1, false},
        ConvCase{23, 17, 19, 65, 3, 1, 1, 1, 2, true, 1}, ConvCase{21, 9, 9, 32, 3, 1, 1, 1, 0, false, 1},
        ConvCase{13, 11, 9, 5, 3, 1, 1, 1, 1, false, 1}, ConvCase{13, 11, 9, 40, 3, 1, 1, 1, 0, true, 2},
        // Winograd: 1- and 5-pixel inputs, odd sizes that leave partial tiles, channel counts that are
        // no multiple of 4, a padding value, and the direct kernel forced where the shape picks Winograd.
        ConvCase{1, 1, 5, 3, 3, 1, 1, 1, 2, false, -1, 2}, ConvCase{1, 1, 7, 9, 3, 1, 1, 1, 0, true, -1, 4},
        ConvCase{5, 1, 3, 6, 3, 1, 1, 1, 1, false, -1, 4}, ConvCase{5, 5, 17, 33, 3, 1, 1, 2, 2, true, -1, 4},
        ConvCase{13, 7, 33, 19, 3, 1, 1, 1, 2, true, 1, 2},
        ConvCase{31, 9, 65, 70, 3, 1, 1, 0, 6, false, -1, 4},
        ConvCase{23, 17, 70, 65, 3, 1, 1, 1, 0, true, -1, 0},
        ConvCase{23, 17, 19, 65, 3, 1, 1, 1, 2, true, 0, 0, 16},
        ConvCase{11, 6, 21, 33, 3, 1, 1, 1, 1, true, 1, 4, 16}),
    [](const ::testing::TestParamInfo<ConvCase> &i) {
        const ConvCase &c = i.param;
        return std::to_string(c.inw) + "x" + std::to_string(c.inh) + "x" + std::to_string(c.inch) + "_to_" +
               std::to_string(c.outch) + "_k" + std::to_string(c.k) + "s" + std::to_string(c.stride) + "d" +
               std::to_string(c.dilation) + "p" + std::to_string(c.pad) + "_act" + std::to_string(c.act) +
               (c.residual ? "_res" : "") + (c.tile >= 0 ? "_tile" + std::to_string(c.tile) : "") +
               (c.winograd >= 0 ? "_winograd" + std::to_string(c.winograd) : "") +
               (c.depth > 0 ? "_depth" + std::to_string(c.depth) : "");
    });

// Block shapes follow the device: lavapipe (subgroup 8, 32 KiB), a desktop GPU (32, 48 KiB) and a small
// one (a 128-invocation workgroup limit).
TEST(ConvTileChoice, FollowsTheDevicesLimits)
{
    using brivelle::vk::choose_conv_tile;
    const brivelle::vk::ConvTile lavapipe = choose_conv_tile({8, 32768, 1024, 1024}, 64);
    EXPECT_EQ(lavapipe.bm, 64);
    EXPECT_EQ(lavapipe.bk, 8);
    const brivelle::vk::ConvTile desktop = choose_conv_tile({32, 49152, 1024, 1024}, 64);
    EXPECT_EQ(desktop.bm, 64);
    EXPECT_EQ(desktop.bk, 16);
    // A narrow product gets a narrower pixel block.
    EXPECT_EQ(choose_conv_tile({8, 32768, 1024, 1024}, 32, -1, 0, 256).bn, 256);
    EXPECT_EQ(choose_conv_tile({8, 32768, 1024, 1024}, 32, -1, 0, 4096).bn, 512);
    const brivelle::vk::ConvTile small = choose_conv_tile({32, 16384, 128, 128}, 64);
    EXPECT_LE(small.threads(), 128u);
    EXPECT_LE(small.sharedBytes(), 16384u);
    // Whatever the device, the workgroup is whole subgroups within its limits.
    for (const brivelle::vk::DeviceShape &d :
         {brivelle::vk::DeviceShape{64, 65536, 1024, 1024}, brivelle::vk::DeviceShape{16, 32768, 256, 256}}) {
        const brivelle::vk::ConvTile t = choose_conv_tile(d, 32);
        EXPECT_EQ(t.threads() % d.subgroupSize, 0u);
        EXPECT_LE(t.threads(), d.maxInvocations);
        EXPECT_LE(t.sharedBytes(), d.sharedBytes);
    }
}

TEST_F(GpuTest, SamePaddingPutsTheExtraPixelWhereAsked)
{
    for (int mode : {-233, -234}) {
        ncnn::Convolution p = convolutionLayer(1, 1, 4, std::vector<float>(16, 1.f), {});
        p.pad_left = p.pad_right = p.pad_top = p.pad_bottom = mode;
        brivelle::vk::Convolution conv;
        ASSERT_EQ(conv.create(*device, p), 0);
        int outw, outh, padl, padt;
        ASSERT_TRUE(conv.outputShape(6, 5, outw, outh, padl, padt));
        EXPECT_EQ(outw, 6);
        EXPECT_EQ(outh, 5);
        EXPECT_EQ(padl, mode == -233 ? 1 : 2) << mode;
        EXPECT_EQ(padt, mode == -233 ? 1 : 2) << mode;
    }
}

struct BinaryCase {
    int op;
    int aw, ah, ac, bw, bh, bc;
};

float binaryRef(int op, float u, float v, float ca, float cb)
{
    switch (op) {
    case 0:
        return u + v;
    case 1:
        return u - v;
    case 2:
        return u * v;
    case 3:
        return u / v;
    case 4:
        return std::max(u, v);
    case 5:
        return std::min(u, v);
    case 6:
        return std::pow(u, v);
    case 7:
        return v - u;
    case 8:
        return v / u;
    case 9:
        return std::pow(v, u);
    case 10:
        return std::atan2(u, v);
    case 11:
        return std::atan2(v, u);
    case 20:
        return u > 0 ? u : u * v;
    default:
        return ca * u + cb * v;
    }
}

class BinaryTest : public GpuTest, public ::testing::WithParamInterface<BinaryCase> {};

TEST_P(BinaryTest, MatchesDirectLoop)
{
    const BinaryCase c = GetParam();
    Host a = makeHost(c.aw, c.ah, c.ac, 11);
    Host b = makeHost(c.bw, c.bh, c.bc, 12);
    // pow and division stay away from negative bases and zero.
    if (c.op == 3 || c.op == 6 || c.op == 8 || c.op == 9) {
        for (float &v : a.v)
            v = std::fabs(v) + 0.5f;
        for (float &v : b.v)
            v = std::fabs(v) + 0.5f;
    }
    Stream s(*device);
    Tensor ta = upload(s, a);
    Tensor tb = upload(s, b);
    Tensor out;
    ASSERT_EQ(brivelle::vk::binary(s, c.op, ta, tb, 0.f, out, 0.2f, 1.f), 0);
    ASSERT_EQ(out.w, std::max(c.aw, c.bw));
    const std::vector<float> got = download(s, out);
    std::vector<float> want(got.size());
    for (int z = 0; z < out.c; z++)
        for (int y = 0; y < out.h; y++)
            for (int x = 0; x < out.w; x++) {
                const float u = a.at(c.aw == 1 ? 0 : x, c.ah == 1 ? 0 : y, c.ac == 1 ? 0 : z);
                const float v = b.at(c.bw == 1 ? 0 : x, c.bh == 1 ? 0 : y, c.bc == 1 ? 0 : z);
                want[(size_t(z) * out.h + y) * out.w + x] = binaryRef(c.op, u, v, 0.2f, 1.f);
            }
    EXPECT_LE(relativeError(got, want), kFp32Tolerance);
}

INSTANTIATE_TEST_SUITE_P(Ops, BinaryTest,
                         ::testing::Values(BinaryCase{0, 37, 5, 3, 37, 5, 3}, BinaryCase{1, 7, 3, 9, 1, 1, 9},
                                           BinaryCase{2, 7, 3, 9, 1, 1, 1}, BinaryCase{3, 5, 6, 2, 5, 6, 2},
                                           BinaryCase{4, 1, 1, 4, 9, 2, 4}, BinaryCase{5, 9, 2, 4, 9, 1, 4},
                                           BinaryCase{6, 6, 3, 2, 6, 3, 2}, BinaryCase{7, 6, 3, 2, 6, 3, 1},
                                           BinaryCase{8, 6, 3, 2, 6, 3, 2}, BinaryCase{9, 4, 4, 1, 4, 4, 1},
                                           BinaryCase{10, 4, 4, 3, 4, 4, 3}, BinaryCase{11, 4, 4, 3, 4, 4, 3},
                                           BinaryCase{20, 11, 3, 5, 1, 1, 5}, BinaryCase{0, 6, 3, 1, 6, 3, 5},
                                           BinaryCase{21, 35, 33, 3, 35, 33, 3}));

TEST_F(GpuTest, PlaceBuildsAConcatenation)
{
    // Parts that start inside a channel group and parts that start on one.
    for (const std::vector<int> &parts : {std::vector<int>{3, 4}, std::vector<int>{4, 5, 3, 1}}) {
        Stream s(*device);
        std::vector<float> want;
        int channels = 0;
        for (int c : parts)
            channels += c;
        Tensor out;
        ASSERT_TRUE(brivelle::vk::allocate(s, out, 6, 5, channels));
        int offset = 0;
        for (size_t k = 0; k < parts.size(); k++) {
            const Host part = makeHost(6, 5, parts[k], 15 + unsigned(k));
            const Tensor t = upload(s, part);
            ASSERT_EQ(brivelle::vk::place(s, t, out, 0, 0, offset), 0);
            EXPECT_NE(brivelle::vk::place(s, t, out, 0, 0, channels - parts[k] + 1), 0);
            want.insert(want.end(), part.v.begin(), part.v.end());
            offset += parts[k];
        }
        EXPECT_EQ(download(s, out), want) << parts.size() << " parts";
    }
}

} // namespace
