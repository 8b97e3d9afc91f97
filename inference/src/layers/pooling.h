#pragma once

#include "../layer_util.h"

#include <cfloat>

namespace ncnn {

// Max (key 0 = 0) or average (1) pooling. key 4 global; key 5 pad mode: 0 full (ceil), 1 valid,
// 2 SAME_UPPER, 3 SAME_LOWER; key 6 averages count the declared padding.
class Pooling : public Layer {
public:
    Pooling() { one_blob_only = true; }

    int load_param(const ParamDict &pd, std::string &err) override
    {
        pooling_type = pd.get(0, 0);
        kernel_w = pd.get(1, 0);
        kernel_h = pd.get(11, kernel_w);
        stride_w = pd.get(2, 1);
        stride_h = pd.get(12, stride_w);
        pad_left = pd.get(3, 0);
        pad_right = pd.get(14, pad_left);
        pad_top = pd.get(13, pad_left);
        pad_bottom = pd.get(15, pad_top);
        global_pooling = pd.get(4, 0);
        pad_mode = pd.get(5, 0);
        avgpool_count_include_pad = pd.get(6, 0);
        auto fail = [&](const std::string &m) {
            err = m;
            return ERROR_BAD_MODEL;
        };
        if (pooling_type != 0 && pooling_type != 1)
            return fail("key 0 (pooling_type): expected 0 or 1, got " + std::to_string(pooling_type));
        if (pd.get(7, 0) != 0)
            return fail("key 7 (adaptive_pooling): expected 0");
        if (pad_mode < 0 || pad_mode > 3)
            return fail("key 5 (pad_mode): expected 0..3, got " + std::to_string(pad_mode));
        if (!global_pooling) {
            if (kernel_w < 1 || kernel_h < 1 || kernel_w > 4096 || kernel_h > 4096)
                return fail("keys 1/11 (kernel): expected 1..4096, got " + std::to_string(kernel_w) +
                            " and " + std::to_string(kernel_h));
            if (stride_w < 1 || stride_h < 1 || stride_w > 4096 || stride_h > 4096)
                return fail("keys 2/12 (stride): expected 1..4096");
            for (int p : {pad_left, pad_right, pad_top, pad_bottom})
                if (p < 0 || p > 4096)
                    return fail("keys 3/13/14/15 (pad): expected 0..4096, got " + std::to_string(p));
        }
        return 0;
    }

    // Padding actually applied for an input size: left, right (with the ceil tail), top, bottom.
    void padding(int w, int h, int &pl, int &pr, int &pt, int &pb) const
    {
        pl = pad_left;
        pr = pad_right;
        pt = pad_top;
        pb = pad_bottom;
        if (pad_mode == 0) {
            const int wtail = (w + pl + pr - kernel_w) % stride_w,
                      htail = (h + pt + pb - kernel_h) % stride_h;
            if (wtail != 0)
                pr += stride_w - wtail;
            if (htail != 0)
                pb += stride_h - htail;
        } else if (pad_mode == 2 || pad_mode == 3) {
            same_padding(w, kernel_w, stride_w, pad_mode == 2, pl, pr);
            same_padding(h, kernel_h, stride_h, pad_mode == 2, pt, pb);
        }
    }

    bool infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const override
    {
        if (in.size() != 1 || in[0].dims != 3)
            return false;
        if (global_pooling) {
            out.assign(1, Shape{1, in[0].c, 1, 1});
            return true;
        }
        int pl, pr, pt, pb;
        padding(in[0].w, in[0].h, pl, pr, pt, pb);
        const int ww = in[0].w + pl + pr, hh = in[0].h + pt + pb;
        if (ww < kernel_w || hh < kernel_h)
            return false;
        out.assign(1, Shape{3, (ww - kernel_w) / stride_w + 1, (hh - kernel_h) / stride_h + 1, in[0].c});
        return true;
    }

    int forward(const Mat &bottom, Mat &top, const Option &opt) const override
    {
        std::vector<Shape> out;
        if (!plain_fp32(bottom) || !infer_shape({shape_of(bottom)}, out))
            return ERROR_BAD_INPUT;
        const int w = bottom.w, h = bottom.h, c = bottom.c;
        if (global_pooling) {
            top.create(c, 4u, opt.blob_allocator);
            if (top.empty())
                return ERROR_OUT_OF_MEMORY;
            float *o = top;
            for (int q = 0; q < c; q++) {
                const float *p = bottom.channel(q);
                const size_t n = static_cast<size_t>(w) * h;
                float acc = pooling_type == 0 ? -FLT_MAX : 0.f;
                for (size_t i = 0; i < n; i++)
                    acc = pooling_type == 0 ? std::max(acc, p[i]) : acc + p[i];
                o[q] = pooling_type == 0 ? acc : acc / static_cast<float>(n);
            }
            return 0;
        }
        int pl, pr, pt, pb;
        padding(w, h, pl, pr, pt, pb);
        const int ow = out[0].w, oh = out[0].h;
        top.create(ow, oh, c, 4u, opt.blob_allocator);
        if (top.empty())
            return ERROR_OUT_OF_MEMORY;
#pragma omp parallel for num_threads(opt.num_threads)
        for (int q = 0; q < c; q++) {
            for (int y = 0; y < oh; y++) {
                float *dst = at(top, q, y, 0);
                for (int x = 0; x < ow; x++) {
                    const int y0 = y * stride_h - pt, x0 = x * stride_w - pl;
                    float acc = pooling_type == 0 ? -FLT_MAX : 0.f;
                    int count = 0, count_pad = 0;
                    for (int ky = 0; ky < kernel_h; ky++)
                        for (int kx = 0; kx < kernel_w; kx++) {
                            const int iy = y0 + ky, ix = x0 + kx;
                            // Declared padding counts for averages with key 6; the ceil tail never does.
                            if (iy >= -pad_top && iy < h + pad_bottom && ix >= -pad_left &&
                                ix < w + pad_right)
                                count_pad++;
                            if (iy < 0 || iy >= h || ix < 0 || ix >= w)
                                continue;
                            const float v = *at(bottom, q, iy, ix);
                            acc = pooling_type == 0 ? std::max(acc, v) : acc + v;
                            count++;
                        }
                    if (pooling_type == 0)
                        dst[x] = acc;
                    else {
                        const int n = avgpool_count_include_pad ? count_pad : count;
                        dst[x] = n > 0 ? acc / static_cast<float>(n) : 0.f;
                    }
                }
            }
        }
        return 0;
    }

    int pooling_type = 0;
    int kernel_w = 0, kernel_h = 0, stride_w = 1, stride_h = 1;
    int pad_left = 0, pad_right = 0, pad_top = 0, pad_bottom = 0;
    int global_pooling = 0, pad_mode = 0, avgpool_count_include_pad = 0;
};

} // namespace ncnn
