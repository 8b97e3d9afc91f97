#include "fp16.h"
#include "support/runtime/compare.h"
#include "support/runtime/failingAllocator.h"
#include "support/runtime/layers.h"
#include "support/runtime/random.h"

#include <cstring>

using namespace rtest;

TEST(Mat, ChannelsStartOnSixteenByteBoundaries)
{
    for (int w : {1, 3, 5, 17}) {
        ncnn::Mat m(w, 3, 7);
        ASSERT_FALSE(m.empty());
        EXPECT_EQ(m.cstep % 4, 0u) << "w=" << w;
        EXPECT_GE(m.cstep, static_cast<size_t>(w) * 3);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(m.channel(6).data) % 16, 0u);
        EXPECT_EQ(m.channel(1).w, w);
        EXPECT_EQ(m.channel(1).h, 3);
    }
}

TEST(Mat, CopiesShareAndCloneDetaches)
{
    ncnn::Mat a(4, 4, 2);
    a.fill(1.f);
    ncnn::Mat shared = a;
    ASSERT_EQ(*a.refcount, 2);
    ncnn::Mat copy = a.clone();
    static_cast<float *>(a.data)[0] = 5.f;
    EXPECT_EQ(static_cast<float *>(shared.data)[0], 5.f);
    EXPECT_EQ(static_cast<float *>(copy.data)[0], 1.f);
    // Assigning a channel of itself must not free the data first.
    a = a.channel(1);
    EXPECT_EQ(a.dims, 2);
    shared.release();
    EXPECT_TRUE(shared.empty());
}

TEST(Mat, ImpossibleSizesLeaveItEmpty)
{
    ncnn::Mat m;
    m.create(1 << 30, 1 << 30, 1 << 30);
    EXPECT_TRUE(m.empty());
    m.create(-1, 4, 4);
    EXPECT_TRUE(m.empty());
    m.create(0, 4);
    EXPECT_TRUE(m.empty());
}

TEST(Mat, ReshapeKeepsElementOrderAcrossChannelGaps)
{
    ncnn::Mat m = randomMat(3, 1, 4, 7); // 3 floats per channel, padded to 4
    ncnn::Mat flat = m.reshape(12);
    ASSERT_EQ(flat.dims, 1);
    for (int q = 0; q < 4; q++)
        for (int x = 0; x < 3; x++)
            EXPECT_EQ(flat[q * 3 + x], valueAt(m, q, 0, x));
    ncnn::Mat back = flat.reshape(2, 3, 2);
    ASSERT_EQ(back.c, 2);
    EXPECT_EQ(valueAt(back, 1, 2, 1), flat[11]);
    EXPECT_TRUE(m.reshape(5).empty());
}

TEST(Mat, AllocatorFailureLeavesItEmpty)
{
    FailingAllocator alloc(1);
    ncnn::Mat m(8, 8, 3, 4u, &alloc);
    EXPECT_TRUE(m.empty());
    ncnn::Mat ok(8, 8, 3, 4u, &alloc);
    EXPECT_FALSE(ok.empty());
}

TEST(Fp16, EveryHalfSurvivesTheRoundTrip)
{
    for (uint32_t h = 0; h < 0x10000; h++) {
        const uint16_t half = static_cast<uint16_t>(h);
        const bool nan = (half & 0x7c00) == 0x7c00 && (half & 0x3ff);
        if (nan)
            continue;
        ASSERT_EQ(ncnn::float32_to_float16(ncnn::float16_to_float32(half)), half) << std::hex << h;
    }
}

TEST(Fp16, KnownValuesAndRounding)
{
    EXPECT_EQ(ncnn::float16_to_float32(0x3c00), 1.f);
    EXPECT_EQ(ncnn::float16_to_float32(0xc000), -2.f);
    EXPECT_EQ(ncnn::float16_to_float32(0x0001), std::ldexp(1.f, -24)); // smallest subnormal
    EXPECT_EQ(ncnn::float16_to_float32(0x7bff), 65504.f);
    EXPECT_EQ(ncnn::float32_to_float16(1.f + std::ldexp(1.f, -11)), 0x3c00); // tie to even
    EXPECT_EQ(ncnn::float32_to_float16(1.f + 3 * std::ldexp(1.f, -11)), 0x3c02);
    EXPECT_EQ(ncnn::float32_to_float16(1e6f), 0x7c00);
    EXPECT_EQ(ncnn::float32_to_float16(-1e-9f), 0x8000);
}

struct PixelCase {
    int type;
    int in_channels;
    int mat_channels;
    std::vector<float> expected; // channel values of the first pixel, in Mat order
};

class FromPixels : public ::testing::TestWithParam<PixelCase> {};

TEST_P(FromPixels, ChannelOrder)
{
    const PixelCase &pc = GetParam();
    const unsigned char px[2][4] = {{10, 20, 30, 40}, {200, 100, 50, 255}};
    unsigned char buf[8];
    for (int x = 0; x < 2; x++)
        std::memcpy(buf + x * pc.in_channels, px[x], static_cast<size_t>(pc.in_channels));
    ncnn::Mat m = ncnn::Mat::from_pixels(buf, pc.type, 2, 1);
    ASSERT_EQ(m.c, pc.mat_channels);
    ASSERT_EQ(m.w, 2);
    for (int q = 0; q < m.c; q++)
        EXPECT_EQ(valueAt(m, q, 0, 0), pc.expected[q]) << "type " << std::hex << pc.type << " channel " << q;
}

INSTANTIATE_TEST_SUITE_P(Types, FromPixels,
                         ::testing::Values(PixelCase{ncnn::Mat::PIXEL_RGB, 3, 3, {10, 20, 30}},
                                           PixelCase{ncnn::Mat::PIXEL_BGR, 3, 3, {10, 20, 30}},
                                           PixelCase{ncnn::Mat::PIXEL_RGB2BGR, 3, 3, {30, 20, 10}},
                                           PixelCase{ncnn::Mat::PIXEL_RGBA, 4, 4, {10, 20, 30, 40}},
                                           PixelCase{ncnn::Mat::PIXEL_RGBA2RGB, 4, 3, {10, 20, 30}},
                                           PixelCase{ncnn::Mat::PIXEL_BGRA2RGB, 4, 3, {30, 20, 10}},
                                           PixelCase{ncnn::Mat::PIXEL_GRAY, 1, 1, {10}},
                                           PixelCase{ncnn::Mat::PIXEL_GRAY2RGB, 1, 3, {10, 10, 10}},
                                           PixelCase{ncnn::Mat::PIXEL_RGB2RGBA, 3, 4, {10, 20, 30, 255}},
                                           // (10*77 + 20*150 + 30*29 + 128) >> 8 = 18
                                           PixelCase{ncnn::Mat::PIXEL_RGB2GRAY, 3, 1, {18}},
                                           PixelCase{ncnn::Mat::PIXEL_BGR2GRAY,
                                                     3,
                                                     1,
                                                     {(30 * 77 + 20 * 150 + 10 * 29 + 128) >> 8}}));

TEST(Pixels, ToPixelsRoundsAndSaturates)
{
    ncnn::Mat m(4, 1, 3);
    const float vals[3][4] = {
        {-5.f, 0.49f, 0.5f, 254.6f}, {255.4f, 300.f, 1.5f, 2.49f}, {NAN, 128.f, 7.f, -0.6f}};
    for (int q = 0; q < 3; q++)
        for (int x = 0; x < 4; x++)
            static_cast<float *>(m.channel(q).data)[x] = vals[q][x];
    unsigned char rgb[12];
    m.to_pixels(rgb, ncnn::Mat::PIXEL_RGB);
    const unsigned char want[12] = {0, 255, 0, 0, 255, 128, 1, 2, 7, 255, 2, 0};
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(rgb[i], want[i]) << "byte " << i;
    unsigned char bgr[12];
    m.to_pixels(bgr, ncnn::Mat::PIXEL_RGB2BGR);
    EXPECT_EQ(bgr[0], 0);
    EXPECT_EQ(bgr[2], 0);
    EXPECT_EQ(bgr[3], 128);
    EXPECT_EQ(bgr[5], 0);
}

TEST(Pixels, StrideAndRoundTrip)
{
    const int w = 3, h = 2, stride = 12; // 9 bytes of RGB per row plus 3 of padding
    unsigned char src[stride * h];
    for (int i = 0; i < stride * h; i++)
        src[i] = static_cast<unsigned char>(i * 11);
    ncnn::Mat m = ncnn::Mat::from_pixels(src, ncnn::Mat::PIXEL_RGB, w, h, stride);
    ASSERT_EQ(m.h, 2);
    EXPECT_EQ(valueAt(m, 0, 1, 0), static_cast<float>(static_cast<unsigned char>(12 * 11)));
    unsigned char back[stride * h];
    std::memset(back, 0xee, sizeof back);
    m.to_pixels(back, ncnn::Mat::PIXEL_RGB, stride);
    for (int y = 0; y < h; y++) {
        for (int i = 0; i < w * 3; i++)
            EXPECT_EQ(back[y * stride + i], src[y * stride + i]);
        EXPECT_EQ(back[y * stride + 9], 0xee) << "row padding must stay untouched";
    }
    unsigned char rgba[w * h * 4];
    m.to_pixels(rgba, ncnn::Mat::PIXEL_RGB2RGBA);
    EXPECT_EQ(rgba[3], 255);
    EXPECT_EQ(rgba[4], src[3]);
}

TEST(Pixels, BadArgumentsGiveAnEmptyMat)
{
    unsigned char px[12] = {};
    EXPECT_TRUE(ncnn::Mat::from_pixels(nullptr, ncnn::Mat::PIXEL_RGB, 2, 2).empty());
    EXPECT_TRUE(ncnn::Mat::from_pixels(px, 99, 2, 2).empty());
    EXPECT_TRUE(ncnn::Mat::from_pixels(px, ncnn::Mat::PIXEL_RGB, 0, 2).empty());
    EXPECT_TRUE(ncnn::Mat::from_pixels(px, ncnn::Mat::PIXEL_RGB, 2, 2, 5).empty());
}

TEST(Mat, SubstractMeanNormalize)
{
    ncnn::Mat m(2, 1, 3);
    m.fill(255.f);
    const float norm[3] = {1 / 255.f, 2 / 255.f, 0.5f};
    m.substract_mean_normalize(nullptr, norm);
    EXPECT_FLOAT_EQ(valueAt(m, 0, 0, 1), 1.f);
    EXPECT_FLOAT_EQ(valueAt(m, 1, 0, 0), 2.f);
    EXPECT_FLOAT_EQ(valueAt(m, 2, 0, 1), 127.5f);
    const float mean[3] = {1.f, 0.f, 27.5f};
    m.substract_mean_normalize(mean, nullptr);
    EXPECT_FLOAT_EQ(valueAt(m, 0, 0, 0), 0.f);
    EXPECT_FLOAT_EQ(valueAt(m, 2, 0, 0), 100.f);
}
