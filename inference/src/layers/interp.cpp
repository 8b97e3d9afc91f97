#include "interp.h"

#include "../layer_util.h"

#include <cmath>
#include <vector>

namespace ncnn {

namespace {

constexpr float kMaxScale = 1024.f;
constexpr int kMaxSize = 1 << 20;

// For output coordinate dx, the source index and fraction of a two-tap (bilinear) sample.
void linear_coeff(int in, int out, float scale, bool align_corner, std::vector<int> &idx,
                  std::vector<float> &frac)
{
    idx.resize(out);
    frac.resize(out);
    for (int dx = 0; dx < out; dx++) {
        float fx = align_corner ? (out == 1 ? 0.f : static_cast<float>(dx) * (in - 1) / (out - 1))
                                : static_cast<float>((dx + 0.5) * scale - 0.5);
        int sx = static_cast<int>(std::floor(fx));
        fx -= sx;
        if (sx < 0) {
            sx = 0;
            fx = 0.f;
        }
        if (sx >= in - 1) {
            sx = in > 1 ? in - 2 : 0;
            fx = in > 1 ? 1.f : 0.f;
        }
        idx[dx] = sx;
        frac[dx] = fx;
    }
}

void cubic_weights(float t, float w[4])
{
    const float A = -0.75f;
    const float x0 = 1 + t, x1 = t, x2 = 1 - t;
    w[0] = ((A * (x0 - 5) * x0 + 8 * A) * x0) - 4 * A;
    w[1] = ((A + 2) * x1 - (A + 3)) * x1 * x1 + 1;
    w[2] = ((A + 2) * x2 - (A + 3)) * x2 * x2 + 1;
    w[3] = 1.f - w[0] - w[1] - w[2];
}

} // namespace

Interp::Interp()
{
    one_blob_only = true;
}

int Interp::load_param(const ParamDict &pd, std::string &err)
{
    resize_type = pd.get(0, 1);
    height_scale = pd.get(1, 1.f);
    width_scale = pd.get(2, 1.f);
    output_height = pd.get(3, 0);
    output_width = pd.get(4, 0);
    align_corner = pd.get(6, 0);
    if (resize_type < 1 || resize_type > 3) {
        err = "key 0 (resize_type): expected 1..3, got " + std::to_string(resize_type);
        return ERROR_BAD_MODEL;
    }
    if (pd.get(5, 0) != 0) {
        err = "key 5 (dynamic_target_size): expected 0, got " + std::to_string(pd.get(5, 0));
        return ERROR_BAD_MODEL;
    }
    if (!(height_scale > 0.f && height_scale <= kMaxScale) ||
        !(width_scale > 0.f && width_scale <= kMaxScale)) {
        err = "keys 1/2 (scale): expected (0, 1024], got " + std::to_string(height_scale) + " and " +
              std::to_string(width_scale);
        return ERROR_BAD_MODEL;
    }
    if (output_height < 0 || output_height > kMaxSize || output_width < 0 || output_width > kMaxSize) {
        err = "keys 3/4 (output size): expected 0..1048576, got " + std::to_string(output_height) + " and " +
              std::to_string(output_width);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

bool Interp::infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const
{
    if (in.size() != 1 || in[0].dims != 3)
        return false;
    const int ow = output_width ? output_width : static_cast<int>(in[0].w * width_scale);
    const int oh = output_height ? output_height : static_cast<int>(in[0].h * height_scale);
    if (ow <= 0 || oh <= 0)
        return false;
    out.assign(1, Shape{3, ow, oh, in[0].c});
    return true;
}

namespace {

void resize_nearest(const Mat &bottom, Mat &top, float ws, float hs, int threads)
{
    const int w = bottom.w, h = bottom.h, ow = top.w, oh = top.h;
    std::vector<int> xs(ow), ys(oh);
    for (int x = 0; x < ow; x++)
        xs[x] = std::min(static_cast<int>(x * ws), w - 1);
    for (int y = 0; y < oh; y++)
        ys[y] = std::min(static_cast<int>(y * hs), h - 1);
#pragma omp parallel for num_threads(threads)
    for (int q = 0; q < bottom.c; q++)
        for (int y = 0; y < oh; y++) {
            const float *src = at(bottom, q, ys[y], 0);
            float *dst = at(top, q, y, 0);
            for (int x = 0; x < ow; x++)
                dst[x] = src[xs[x]];
        }
}

void resize_bilinear(const Mat &bottom, Mat &top, float ws, float hs, bool align_corner, int threads)
{
    const int w = bottom.w, h = bottom.h, ow = top.w, oh = top.h;
    std::vector<int> xi, yi;
    std::vector<float> xf, yf;
    linear_coeff(w, ow, ws, align_corner, xi, xf);
    linear_coeff(h, oh, hs, align_corner, yi, yf);
#pragma omp parallel for num_threads(threads)
    for (int q = 0; q < bottom.c; q++)
        for (int y = 0; y < oh; y++) {
            const int y1 = std::min(yi[y] + 1, h - 1);
            const float *r0 = at(bottom, q, yi[y], 0), *r1 = at(bottom, q, y1, 0);
            float *dst = at(top, q, y, 0);
            for (int x = 0; x < ow; x++) {
                const int x0 = xi[x], x1 = std::min(x0 + 1, w - 1);
                const float a = r0[x0] * (1 - xf[x]) + r0[x1] * xf[x];
                const float b = r1[x0] * (1 - xf[x]) + r1[x1] * xf[x];
                dst[x] = a * (1 - yf[y]) + b * yf[y];
            }
        }
}

// Bicubic: four taps per axis, indices clamped to the border.
void resize_bicubic(const Mat &bottom, Mat &top, float ws, float hs, bool align_corner, int threads)
{
    const int w = bottom.w, h = bottom.h, ow = top.w, oh = top.h;
    std::vector<int> xi(ow * 4), yi(oh * 4);
    std::vector<float> xw(ow * 4), yw(oh * 4);
    auto coeffs = [&](int in, int n, float scale, std::vector<int> &idx, std::vector<float> &wt) {
        for (int d = 0; d < n; d++) {
            float f = align_corner ? (n == 1 ? 0.f : static_cast<float>(d) * (in - 1) / (n - 1))
                                   : static_cast<float>((d + 0.5) * scale - 0.5);
            const int s = static_cast<int>(std::floor(f));
            f -= s;
            cubic_weights(f, &wt[d * 4]);
            for (int k = 0; k < 4; k++)
                idx[d * 4 + k] = std::min(std::max(s - 1 + k, 0), in - 1);
        }
    };
    coeffs(w, ow, ws, xi, xw);
    coeffs(h, oh, hs, yi, yw);
#pragma omp parallel for num_threads(threads)
    for (int q = 0; q < bottom.c; q++)
        for (int y = 0; y < oh; y++) {
            float *dst = at(top, q, y, 0);
            for (int x = 0; x < ow; x++) {
                float sum = 0.f;
                for (int ky = 0; ky < 4; ky++) {
                    const float *row = at(bottom, q, yi[y * 4 + ky], 0);
                    float r = 0.f;
                    for (int kx = 0; kx < 4; kx++)
                        r += row[xi[x * 4 + kx]] * xw[x * 4 + kx];
                    sum += r * yw[y * 4 + ky];
                }
                dst[x] = sum;
            }
        }
}

} // namespace

int Interp::forward(const Mat &bottom, Mat &top, const Option &opt) const
{
    std::vector<Shape> out;
    if (!plain_fp32(bottom) || !infer_shape({shape_of(bottom)}, out))
        return ERROR_BAD_INPUT;
    top.create(out[0].w, out[0].h, bottom.c, 4u, opt.blob_allocator);
    if (top.empty())
        return ERROR_OUT_OF_MEMORY;
    const float ws = output_width ? static_cast<float>(bottom.w) / top.w : 1.f / width_scale;
    const float hs = output_height ? static_cast<float>(bottom.h) / top.h : 1.f / height_scale;
    if (resize_type == 1)
        resize_nearest(bottom, top, ws, hs, opt.num_threads);
    else if (resize_type == 2)
        resize_bilinear(bottom, top, ws, hs, align_corner != 0, opt.num_threads);
    else
        resize_bicubic(bottom, top, ws, hs, align_corner != 0, opt.num_threads);
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(Interp)

} // namespace ncnn
