#include "support/runtime/compare.h"
#include "support/runtime/layers.h"
#include "support/runtime/random.h"

#include <algorithm>
#include <cmath>

using namespace rtest;

namespace {

ncnn::Mat mat3(int w, int h, int c, std::initializer_list<float> v)
{
    ncnn::Mat m(w, h, c);
    auto it = v.begin();
    for (int q = 0; q < c; q++)
        for (int i = 0; i < w * h; i++)
            static_cast<float *>(m.channel(q).data)[i] = *it++;
    return m;
}

} // namespace

TEST(Activations, HandValues)
{
    const ncnn::Mat in = mat3(4, 1, 1, {-2.f, -0.5f, 0.f, 3.f});
    struct Case {
        const char *type;
        std::vector<std::string> params;
        std::vector<float> want;
    } cases[] = {
        {"ReLU", {}, {0, 0, 0, 3}},
        {"ReLU", {"0=1.000000e-01"}, {-0.2f, -0.05f, 0, 3}},
        {"Clip", {"0=-1.0", "1=2.5"}, {-1, -0.5f, 0, 2.5f}},
        {"Sigmoid", {}, {1 / (1 + std::exp(2.f)), 1 / (1 + std::exp(0.5f)), 0.5f, 1 / (1 + std::exp(-3.f))}},
        {"Dropout", {"0=0.5"}, {-1, -0.25f, 0, 1.5f}},
        {"Dropout", {}, {-2, -0.5f, 0, 3}},
    };
    for (const Case &c : cases) {
        auto layer = makeLayer(c.type, c.params);
        ncnn::Mat out = run1(*layer, {in});
        for (int i = 0; i < 4; i++)
            EXPECT_NEAR(out[i], c.want[i], 1e-6f) << c.type << " element " << i;
        EXPECT_EQ(in[0], -2.f) << c.type << " must not write its input";
    }
}

TEST(PReLU, PerChannelAndSharedSlopes)
{
    const ncnn::Mat in = mat3(2, 1, 3, {-1, 1, -2, 2, -4, 4});
    auto layer = makeLayer("PReLU", {"0=3"});
    auto *prelu = layer.get();
    const std::vector<float> slopes{0.5f, 0.25f, 0.f};
    const std::vector<unsigned char> bin(reinterpret_cast<const unsigned char *>(slopes.data()),
                                         reinterpret_cast<const unsigned char *>(slopes.data()) + 12);
    std::string err;
    ASSERT_EQ(prelu->load_model(ncnn::ModelBin(bin.data(), bin.size()), err), 0) << err;
    ncnn::Mat out = run1(*prelu, {in});
    EXPECT_EQ(valueAt(out, 0, 0, 0), -0.5f);
    EXPECT_EQ(valueAt(out, 1, 0, 0), -0.5f);
    EXPECT_EQ(valueAt(out, 2, 0, 0), 0.f);
    EXPECT_EQ(valueAt(out, 2, 0, 1), 4.f);
    // Slope count that matches neither 1 nor the channels is refused at run time.
    std::vector<ncnn::Mat> tops(1);
    EXPECT_NE(prelu->forward(randomMat(2, 2, 5, 1), tops[0], singleThread()), 0);
}

TEST(Eltwise, ProductSumWithCoefficientsAndMax)
{
    const ncnn::Mat a = mat3(3, 1, 1, {1, -2, 3}), b = mat3(3, 1, 1, {4, 5, -6});
    EXPECT_TRUE(matsNear(run1(*makeLayer("Eltwise", {"0=0"}), {a, b}), mat3(3, 1, 1, {4, -10, -18})));
    EXPECT_TRUE(matsNear(run1(*makeLayer("Eltwise", {"0=1"}), {a, b}), mat3(3, 1, 1, {5, 3, -3})));
    EXPECT_TRUE(matsNear(run1(*makeLayer("Eltwise", {"0=1", "-23301=2,2.000000e-01,1.000000e+00"}), {a, b}),
                         mat3(3, 1, 1, {4.2f, 4.6f, -5.4f})));
    EXPECT_TRUE(matsNear(run1(*makeLayer("Eltwise", {"0=2"}), {a, b}), mat3(3, 1, 1, {4, 5, 3})));
    std::vector<ncnn::Mat> out(1);
    EXPECT_NE(makeLayer("Eltwise", {"0=1"})->forward({a, mat3(1, 1, 1, {1})}, out, singleThread()), 0);
}

TEST(BinaryOp, AllOperations)
{
    const float x = 3.f, y = -2.f;
    const float want[12] = {1,
                            5,
                            -6,
                            -1.5f,
                            3,
                            -2,
                            1 / 9.f,
                            -5,
                            -2 / 3.f,
                            std::pow(-2.f, 3.f),
                            std::atan2(3.f, -2.f),
                            std::atan2(-2.f, 3.f)};
    for (int op = 0; op < 12; op++) {
        auto layer = makeLayer("BinaryOp", {"0=" + std::to_string(op)});
        ncnn::Mat out = run1(*layer, {mat3(1, 1, 1, {x}), mat3(1, 1, 1, {y})});
        EXPECT_NEAR(out[0], want[op], 1e-5f) << "op " << op;
        auto scalar = makeLayer("BinaryOp", {"0=" + std::to_string(op), "1=1", "2=-2.0"});
        EXPECT_NEAR(run1(*scalar, {mat3(1, 1, 1, {x})})[0], want[op], 1e-5f) << "scalar op " << op;
    }
}

TEST(BinaryOp, Broadcasting)
{
    const ncnn::Mat a = randomMat(3, 2, 4, 11);
    auto add = makeLayer("BinaryOp", {"0=0"});
    // Per-channel 1-D operand.
    ncnn::Mat perc = fromVector({1, 2, 3, 4});
    ncnn::Mat out = run1(*add, {a, perc});
    ASSERT_EQ(out.c, 4);
    EXPECT_FLOAT_EQ(valueAt(out, 2, 1, 2), valueAt(a, 2, 1, 2) + 3);
    // Row vector broadcast over h and c (numpy rules: 1-D aligns with w).
    ncnn::Mat row = fromVector({10, 20, 30});
    out = run1(*add, {a, row});
    EXPECT_FLOAT_EQ(valueAt(out, 3, 1, 1), valueAt(a, 3, 1, 1) + 20);
    // 1 x 1 x c against c x h x w, swapped operands for a non-commutative op.
    ncnn::Mat ones(1, 1, 4);
    for (int q = 0; q < 4; q++)
        ones.channel(q)[0] = static_cast<float>(q);
    auto sub = makeLayer("BinaryOp", {"0=1"});
    out = run1(*sub, {ones, a});
    ASSERT_EQ(out.w, 3);
    EXPECT_FLOAT_EQ(valueAt(out, 1, 0, 2), 1 - valueAt(a, 1, 0, 2));
    std::vector<ncnn::Mat> tops(1);
    EXPECT_NE(add->forward({a, randomMat(2, 2, 4, 1)}, tops, singleThread()), 0);
}

TEST(Concat, AlongEachAxis)
{
    const ncnn::Mat a = randomMat(2, 3, 1, 1), b = randomMat(2, 3, 2, 2);
    ncnn::Mat out = run1(*makeLayer("Concat", {}), {a, b});
    ASSERT_EQ(out.c, 3);
    EXPECT_EQ(valueAt(out, 0, 2, 1), valueAt(a, 0, 2, 1));
    EXPECT_EQ(valueAt(out, 2, 1, 0), valueAt(b, 1, 1, 0));
    const ncnn::Mat c = randomMat(2, 1, 2, 3);
    out = run1(*makeLayer("Concat", {"0=1"}), {b, c});
    ASSERT_EQ(out.h, 4);
    EXPECT_EQ(valueAt(out, 1, 3, 1), valueAt(c, 1, 0, 1));
    out = run1(*makeLayer("Concat", {"0=-1"}), {b, randomMat(5, 3, 2, 4)});
    ASSERT_EQ(out.w, 7);
    EXPECT_EQ(valueAt(out, 1, 2, 1), valueAt(b, 1, 2, 1));
    std::vector<ncnn::Mat> tops(1);
    EXPECT_NE(makeLayer("Concat", {})->forward({a, c}, tops, singleThread()), 0);
}

TEST(Interp, NearestBilinearBicubicHandValues)
{
    const ncnn::Mat in = mat3(2, 1, 1, {0, 4});
    // Nearest x2: 0 0 4 4.
    ncnn::Mat out = run1(*makeLayer("Interp", {"0=1", "1=1.0", "2=2.0"}), {in});
    ASSERT_EQ(out.w, 4);
    EXPECT_EQ(out[1], 0.f);
    EXPECT_EQ(out[2], 4.f);
    // Bilinear, half-pixel centres: source x = -0.25, 0.25, 0.75, 1.25 -> 0, 1, 3, 4.
    out = run1(*makeLayer("Interp", {"0=2", "1=1.0", "2=2.0"}), {in});
    const float bil[4] = {0, 1, 3, 4};
    for (int x = 0; x < 4; x++)
        EXPECT_FLOAT_EQ(out[x], bil[x]) << x;
    // Align corners to width 3: 0 2 4.
    out = run1(*makeLayer("Interp", {"0=2", "4=3", "3=1", "6=1"}), {in});
    ASSERT_EQ(out.w, 3);
    EXPECT_FLOAT_EQ(out[1], 2.f);
    // Bicubic (A = -0.75): output x = 4 samples source 1.75, taps 0..3 weighted
    // -0.03515625, 0.26171875, 0.87890625, -0.10546875 -> 1.703125 on a ramp.
    ncnn::Mat ramp(8, 1, 1);
    for (int x = 0; x < 8; x++)
        ramp[x] = static_cast<float>(x);
    out = run1(*makeLayer("Interp", {"0=3", "1=1.0", "2=2.0"}), {ramp});
    ASSERT_EQ(out.w, 16);
    EXPECT_NEAR(out[4], 1.703125f, 1e-5f);
    EXPECT_NEAR(out[11], 7.f - 1.703125f, 1e-5f) << "mirror image of x = 4";
    // A constant stays constant, borders included.
    ncnn::Mat flat(3, 3, 1);
    flat.fill(2.f);
    out = run1(*makeLayer("Interp", {"0=3", "1=3.0", "2=3.0"}), {flat});
    for (int i = 0; i < 81; i++)
        ASSERT_NEAR(out[i], 2.f, 1e-5f) << i;
    // An output size instead of a scale.
    out = run1(*makeLayer("Interp", {"0=1", "3=3", "4=5"}), {randomMat(2, 2, 3, 1)});
    EXPECT_EQ(out.w, 5);
    EXPECT_EQ(out.h, 3);
    EXPECT_EQ(out.c, 3);
}

TEST(PixelShuffleReorg, ModesAndInverse)
{
    // 4 channels of 1 pixel -> 1 channel of 2 x 2.
    const ncnn::Mat in = mat3(1, 1, 4, {1, 2, 3, 4});
    ncnn::Mat out = run1(*makeLayer("PixelShuffle", {"0=2"}), {in});
    ASSERT_EQ(out.c, 1);
    EXPECT_EQ(valueAt(out, 0, 0, 1), 2.f);
    EXPECT_EQ(valueAt(out, 0, 1, 0), 3.f);
    // Mode 1 with two output channels: input channel (i*r + j)*c + q.
    const ncnn::Mat in8 = mat3(1, 1, 8, {0, 1, 2, 3, 4, 5, 6, 7});
    out = run1(*makeLayer("PixelShuffle", {"0=2", "1=1"}), {in8});
    ASSERT_EQ(out.c, 2);
    EXPECT_EQ(valueAt(out, 1, 0, 1), 3.f); // (0*2+1)*2+1
    EXPECT_EQ(valueAt(out, 0, 1, 1), 6.f); // (1*2+1)*2+0
    // Reorg undoes PixelShuffle in both modes, on odd channel counts and non-square sizes.
    for (int mode : {0, 1}) {
        const ncnn::Mat x = randomMat(5, 3, 3 * 9, 21);
        const std::string m = "1=" + std::to_string(mode);
        ncnn::Mat up = run1(*makeLayer("PixelShuffle", {"0=3", m}), {x});
        ASSERT_EQ(up.w, 15);
        ncnn::Mat down = run1(*makeLayer("Reorg", {"0=3", m}), {up});
        EXPECT_TRUE(matsNear(down, x, 0)) << "mode " << mode;
    }
    // Reorg hand value: channel q*s*s + i*s + j is the (i, j) phase.
    ncnn::Mat img(4, 2, 1);
    for (int i = 0; i < 8; i++)
        img[i] = static_cast<float>(i);
    out = run1(*makeLayer("Reorg", {"0=2"}), {img});
    ASSERT_EQ(out.c, 4);
    EXPECT_EQ(valueAt(out, 1, 0, 1), 3.f);
    EXPECT_EQ(valueAt(out, 2, 0, 0), 4.f);
}

TEST(Pooling, MaxAverageGlobalAndPadModes)
{
    ncnn::Mat in(3, 3, 1);
    for (int i = 0; i < 9; i++)
        in[i] = static_cast<float>(i);
    // Max 2x2 stride 2, full padding (ceil): 2x2 output.
    ncnn::Mat out = run1(*makeLayer("Pooling", {"0=0", "1=2", "2=2"}), {in});
    ASSERT_EQ(out.w, 2);
    EXPECT_EQ(out[0], 4.f);
    EXPECT_EQ(out[3], 8.f);
    // Valid padding: 1x1.
    out = run1(*makeLayer("Pooling", {"0=0", "1=2", "2=2", "5=1"}), {in});
    EXPECT_EQ(out.w, 1);
    // Average with the ceil tail not counted: last column averages 2 and 5.
    out = run1(*makeLayer("Pooling", {"0=1", "1=2", "2=2"}), {in});
    EXPECT_FLOAT_EQ(out[1], 3.5f);
    EXPECT_FLOAT_EQ(out[0], 2.f);
    // Average 3x3 pad 1: corner counts only its 4 pixels, or 9 with key 6.
    out = run1(*makeLayer("Pooling", {"0=1", "1=3", "2=1", "3=1", "5=1"}), {in});
    EXPECT_FLOAT_EQ(out[0], (0 + 1 + 3 + 4) / 4.f);
    out = run1(*makeLayer("Pooling", {"0=1", "1=3", "2=1", "3=1", "5=1", "6=1"}), {in});
    EXPECT_FLOAT_EQ(out[0], (0 + 1 + 3 + 4) / 9.f);
    out = run1(*makeLayer("Pooling", {"0=1", "4=1"}), {in});
    EXPECT_EQ(out.dims, 1);
    EXPECT_FLOAT_EQ(out[0], 4.f);
    // SAME_UPPER keeps ceil(w / stride).
    out = run1(*makeLayer("Pooling", {"0=0", "1=3", "2=2", "5=2"}), {randomMat(5, 4, 2, 3)});
    EXPECT_EQ(out.w, 3);
    EXPECT_EQ(out.h, 2);
}

TEST(Padding, ConstantReplicateReflectAndChannels)
{
    const ncnn::Mat in = mat3(3, 1, 1, {1, 2, 3});
    ncnn::Mat out = run1(*makeLayer("Padding", {"2=2", "3=1", "5=9.0"}), {in});
    ASSERT_EQ(out.w, 6);
    EXPECT_EQ(out[0], 9.f);
    EXPECT_EQ(out[2], 1.f);
    EXPECT_EQ(out[5], 9.f);
    out = run1(*makeLayer("Padding", {"2=2", "3=1", "4=1"}), {in});
    EXPECT_EQ(out[0], 1.f);
    EXPECT_EQ(out[5], 3.f);
    out = run1(*makeLayer("Padding", {"2=2", "3=1", "4=2"}), {in});
    EXPECT_EQ(out[0], 3.f); // reflect: 3 2 | 1 2 3 | 2
    EXPECT_EQ(out[1], 2.f);
    EXPECT_EQ(out[5], 2.f);
    out = run1(*makeLayer("Padding", {"0=1", "7=1", "8=2", "5=-1.0"}), {randomMat(2, 2, 2, 5)});
    EXPECT_EQ(out.c, 5);
    EXPECT_EQ(out.h, 3);
    EXPECT_EQ(valueAt(out, 0, 2, 1), -1.f);
    EXPECT_EQ(valueAt(out, 4, 0, 0), -1.f);
}

TEST(CropReshapePermuteFlatten, Shapes)
{
    const ncnn::Mat in = randomMat(5, 4, 3, 9);
    ncnn::Mat out = run1(*makeLayer("Crop", {"0=1", "1=2", "3=3", "4=2"}), {in});
    ASSERT_EQ(out.w, 3);
    ASSERT_EQ(out.h, 2);
    EXPECT_EQ(valueAt(out, 2, 1, 2), valueAt(in, 2, 3, 3));
    out = run1(*makeLayer("Crop", {"-23309=1,1", "-23310=1,3", "-23311=1,0"}), {in});
    ASSERT_EQ(out.c, 2);
    EXPECT_EQ(valueAt(out, 1, 0, 0), valueAt(in, 2, 0, 0));
    // A negative end counts from the end of the axis.
    out = run1(*makeLayer("Crop", {"-23309=1,1", "-23310=1,-1", "-23311=1,-1"}), {in});
    ASSERT_EQ(out.w, 3);
    EXPECT_EQ(valueAt(out, 2, 3, 0), valueAt(in, 2, 3, 1));

    out = run1(*makeLayer("Reshape", {"0=-1", "1=3"}), {in});
    ASSERT_EQ(out.dims, 2);
    ASSERT_EQ(out.w, 20);
    EXPECT_EQ(valueAt(out, 0, 2, 7), valueAt(in, 2, 1, 2));
    out = run1(*makeLayer("Flatten", {}), {in});
    ASSERT_EQ(out.w, 60);
    EXPECT_EQ(out[59], valueAt(in, 2, 3, 4));

    // Order 5 (c-h-w innermost first) makes channels the fastest axis.
    out = run1(*makeLayer("Permute", {"0=5"}), {in});
    ASSERT_EQ(out.w, 3);
    ASSERT_EQ(out.h, 4);
    ASSERT_EQ(out.c, 5);
    EXPECT_EQ(valueAt(out, 4, 1, 2), valueAt(in, 2, 1, 4));
    out = run1(*makeLayer("Permute", {"0=1"}), {in});
    EXPECT_EQ(valueAt(out, 1, 4, 2), valueAt(in, 1, 2, 4));
}

TEST(Layers, RefuseBadParameters)
{
    struct Case {
        const char *type;
        std::vector<std::string> params;
    } cases[] = {
        {"Convolution", {"0=0", "1=3", "6=27"}},
        {"Convolution", {"0=4", "1=3", "6=100"}},
        {"Convolution", {"0=4", "1=3", "3=0", "6=108"}},
        {"Convolution", {"0=4", "1=3", "6=108", "9=7"}},
        {"Convolution", {"0=4", "1=3", "6=108", "9=2"}},
        {"ConvolutionDepthWise", {"0=4", "1=3", "6=36", "7=3"}},
        {"Interp", {"0=1", "1=1e9", "2=2.0"}},
        {"Interp", {"0=9"}},
        {"PixelShuffle", {"0=0"}},
        {"Reorg", {"0=-2"}},
        {"Pooling", {"0=0", "1=0"}},
        {"Padding", {"0=-1"}},
        {"Eltwise", {"0=5"}},
        {"BinaryOp", {"0=12"}},
        {"PReLU", {"0=0"}},
        {"Concat", {"0=7"}},
    };
    for (const Case &c : cases) {
        auto layer = ncnn::create_layer(c.type);
        ncnn::ParamDict pd;
        std::string err;
        ASSERT_EQ(pd.parse(c.params, err), 0) << err;
        EXPECT_NE(layer->load_param(pd, err), 0) << c.type << " " << ::testing::PrintToString(c.params);
        EXPECT_FALSE(err.empty()) << c.type;
    }
}
