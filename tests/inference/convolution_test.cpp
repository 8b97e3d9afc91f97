#include "layers/convolution.h"
#include "support/runtime/compare.h"
#include "support/runtime/failingAllocator.h"
#include "support/runtime/layers.h"
#include "support/runtime/random.h"

#include <cmath>

using namespace rtest;

namespace {

struct ConvCase {
    int w, h, inc, outc, kw, kh, stride, dilation, pad, group, act;
    float pad_value;
};

std::ostream &operator<<(std::ostream &os, const ConvCase &c)
{
    return os << c.w << "x" << c.h << "x" << c.inc << " -> " << c.outc << " k" << c.kw << "x" << c.kh << " s"
              << c.stride << " d" << c.dilation << " p" << c.pad << " g" << c.group << " act" << c.act
              << " padv" << c.pad_value;
}

float act_ref(float v, int type)
{
    switch (type) {
    case 1:
        return std::max(v, 0.f);
    case 2:
        return v > 0 ? v : 0.1f * v;
    case 3:
        return std::min(std::max(v, -0.5f), 0.5f);
    case 4:
        return 1.f / (1.f + std::exp(-v));
    case 5:
        return v * std::tanh(std::log(1.f + std::exp(v)));
    case 6:
        return v * std::min(std::max(v * 0.2f + 0.5f, 0.f), 1.f);
    default:
        return v;
    }
}

// Independent oracle: pads explicitly, then sums every tap.
ncnn::Mat conv_ref(const ncnn::Mat &in, const std::vector<float> &wt, const std::vector<float> &bias,
                   const ConvCase &c, int pl, int pr, int pt, int pb)
{
    const int W = in.w + pl + pr, H = in.h + pt + pb;
    const int kew = c.dilation * (c.kw - 1) + 1, keh = c.dilation * (c.kh - 1) + 1;
    const int ow = (W - kew) / c.stride + 1, oh = (H - keh) / c.stride + 1;
    ncnn::Mat out(ow, oh, c.outc);
    const int inpg = c.inc / c.group, outpg = c.outc / c.group;
    auto px = [&](int q, int y, int x) {
        y -= pt;
        x -= pl;
        if (y < 0 || x < 0 || y >= in.h || x >= in.w)
            return c.pad_value;
        return valueAt(in, q, y, x);
    };
    for (int p = 0; p < c.outc; p++) {
        const int g = p / outpg;
        for (int y = 0; y < oh; y++)
            for (int x = 0; x < ow; x++) {
                double sum = bias[p];
                for (int q = 0; q < inpg; q++)
                    for (int ky = 0; ky < c.kh; ky++)
                        for (int kx = 0; kx < c.kw; kx++)
                            sum += static_cast<double>(wt[((p * inpg + q) * c.kh + ky) * c.kw + kx]) *
                                   px(g * inpg + q, y * c.stride + ky * c.dilation,
                                      x * c.stride + kx * c.dilation);
                static_cast<float *>(out.channel(p).data)[y * ow + x] =
                    act_ref(static_cast<float>(sum), c.act);
            }
    }
    return out;
}

} // namespace

class ConvolutionMatrix : public ::testing::TestWithParam<ConvCase> {};

TEST_P(ConvolutionMatrix, MatchesDirectLoop)
{
    const ConvCase c = GetParam();
    const int count = c.outc * (c.inc / c.group) * c.kw * c.kh;
    const std::vector<float> wt = randomVector(static_cast<size_t>(count), 3);
    const std::vector<float> bias = randomVector(static_cast<size_t>(c.outc), 4);
    std::vector<std::string> params = {"0=" + std::to_string(c.outc),
                                       "1=" + std::to_string(c.kw),
                                       "11=" + std::to_string(c.kh),
                                       "2=" + std::to_string(c.dilation),
                                       "3=" + std::to_string(c.stride),
                                       "4=" + std::to_string(c.pad),
                                       "5=1",
                                       "6=" + std::to_string(count)};
    if (c.group != 1)
        params.push_back("7=" + std::to_string(c.group));
    if (c.pad_value != 0.f)
        params.push_back("18=" + std::to_string(c.pad_value));
    if (c.act) {
        params.push_back("9=" + std::to_string(c.act));
        if (c.act == 2)
            params.push_back("-23310=1,1.000000e-01");
        if (c.act == 3)
            params.push_back("-23310=2,-0.5,0.5");
        if (c.act == 6)
            params.push_back("-23310=2,0.2,0.5");
    }
    auto layer = makeLayer(c.group == 1 ? "Convolution" : "ConvolutionDepthWise", params);
    auto &conv = static_cast<ncnn::Convolution &>(*layer);
    conv.weight_data = fromVector(wt);
    conv.bias_data = fromVector(bias);

    const ncnn::Mat in = randomMat(c.w, c.h, c.inc, 5);
    int pl, pr, pt, pb;
    conv.resolve_padding(c.w, c.h, pl, pr, pt, pb);
    const ncnn::Mat want = conv_ref(in, wt, bias, c, pl, pr, pt, pb);
    for (int threads : {1, 2}) {
        ncnn::Option opt = singleThread();
        opt.num_threads = threads;
        ncnn::Mat got = run1(conv, {in}, opt);
        EXPECT_TRUE(matsNear(got, want, 1e-4f)) << c << " threads " << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ConvolutionMatrix,
    ::testing::Values(
        ConvCase{8, 8, 3, 64, 3, 3, 1, 1, 1, 1, 0, 0}, ConvCase{7, 5, 5, 7, 3, 3, 1, 1, 1, 1, 2, 0},
        ConvCase{1, 1, 3, 3, 3, 3, 1, 1, 1, 1, 0, 0}, ConvCase{1, 1, 2, 5, 1, 1, 1, 1, 0, 1, 1, 0},
        ConvCase{9, 6, 3, 4, 5, 3, 2, 1, 2, 1, 3, 0}, ConvCase{10, 9, 2, 3, 3, 3, 1, 2, 2, 1, 4, 0},
        ConvCase{6, 6, 4, 6, 3, 3, 2, 1, -233, 1, 5, 0}, ConvCase{7, 6, 4, 6, 4, 4, 3, 1, -234, 1, 6, 0},
        ConvCase{5, 4, 3, 2, 3, 3, 1, 1, 1, 1, 0, 1.5f}, ConvCase{6, 5, 6, 6, 3, 3, 1, 1, 1, 6, 0, 0},
        ConvCase{6, 5, 4, 8, 3, 3, 2, 1, 1, 2, 1, 0}, ConvCase{3, 17, 1, 1, 1, 7, 1, 1, 0, 1, 0, 0},
        ConvCase{13, 3, 3, 9, 3, 3, 1, 3, 3, 1, 2, 0}, ConvCase{1, 1, 2, 4, 3, 3, 1, 1, 1, 1, 0, 0},
        ConvCase{2, 3, 3, 8, 3, 3, 1, 2, 2, 1, 1, 0}, ConvCase{5, 3, 3, 4, 3, 3, 1, 1, 0, 1, 0, 0},
        ConvCase{4, 4, 8, 4, 3, 3, 1, 1, 1, 2, 0, 0}));

TEST(Convolution, RefusesWrongInputChannelsAndTooSmallInputs)
{
    auto layer = makeLayer("Convolution", {"0=2", "1=3", "6=54"}); // 3 input channels
    auto &conv = static_cast<ncnn::Convolution &>(*layer);
    conv.weight_data = fromVector(randomVector(54, 1));
    ncnn::Mat out;
    EXPECT_NE(conv.forward(randomMat(4, 4, 2, 1), out, singleThread()), 0);
    EXPECT_NE(conv.forward(randomMat(2, 2, 3, 1), out, singleThread()), 0);
    EXPECT_EQ(conv.forward(randomMat(3, 3, 3, 1), out, singleThread()), 0);
    EXPECT_EQ(out.w, 1);
}

TEST(Convolution, OutOfMemoryIsReported)
{
    auto layer = makeLayer("Convolution", {"0=2", "1=1", "6=2"});
    static_cast<ncnn::Convolution &>(*layer).weight_data = fromVector({1, 1});
    FailingAllocator alloc(1);
    ncnn::Option opt = singleThread();
    opt.blob_allocator = &alloc;
    ncnn::Mat out;
    EXPECT_EQ(layer->forward(randomMat(4, 4, 1, 1), out, opt), ncnn::ERROR_OUT_OF_MEMORY);
    EXPECT_TRUE(out.empty());
}
