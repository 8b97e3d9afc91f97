#pragma once

#include "../layer_util.h"

namespace ncnn {

// Borders around each plane (keys 0 top, 1 bottom, 2 left, 3 right) and extra channels (7 front,
// 8 behind). key 4: 0 constant (key 5 value), 1 replicate, 2 reflect; channels are always constant.
class Padding : public Layer {
public:
    Padding() { one_blob_only = true; }

    int load_param(const ParamDict &pd, std::string &err) override
    {
        top = pd.get(0, 0);
        bottom = pd.get(1, 0);
        left = pd.get(2, 0);
        right = pd.get(3, 0);
        type = pd.get(4, 0);
        value = pd.get(5, 0.f);
        front = pd.get(7, 0);
        behind = pd.get(8, 0);
        for (int p : {top, bottom, left, right, front, behind})
            if (p < 0 || p > 65536) {
                err = "keys 0-3/7/8 (padding): expected 0..65536, got " + std::to_string(p);
                return ERROR_BAD_MODEL;
            }
        if (type < 0 || type > 2) {
            err = "key 4 (type): expected 0..2, got " + std::to_string(type);
            return ERROR_BAD_MODEL;
        }
        if (pd.get(6, 0) != 0) {
            err = "key 6 (per_channel_pad_data_size): expected 0";
            return ERROR_BAD_MODEL;
        }
        return 0;
    }

    bool infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const override
    {
        if (in.size() != 1 || in[0].dims < 2 || in[0].dims > 3)
            return false;
        // Reflection needs a source pixel on the far side.
        if (type == 2 && (left >= in[0].w || right >= in[0].w || top >= in[0].h || bottom >= in[0].h))
            return false;
        Shape s = in[0];
        s.w += left + right;
        s.h += top + bottom;
        if (s.dims == 3)
            s.c += front + behind;
        else if (front || behind)
            return false;
        out.assign(1, s);
        return true;
    }

    int forward(const Mat &src, Mat &dst, const Option &opt) const override
    {
        std::vector<Shape> out;
        if (!plain_fp32(src) || !infer_shape({shape_of(src)}, out))
            return ERROR_BAD_INPUT;
        create_dims(dst, out[0].dims, out[0].w, out[0].h, out[0].c, opt.blob_allocator);
        if (dst.empty())
            return ERROR_OUT_OF_MEMORY;
        const int w = src.w, h = src.h, ow = out[0].w, oh = out[0].h;
        const int oc = view3(out[0]).c;
        const int f = src.dims == 3 ? front : 0;
#pragma omp parallel for num_threads(opt.num_threads)
        for (int q = 0; q < oc; q++) {
            const int sq = q - f;
            for (int y = 0; y < oh; y++) {
                float *d = at(dst, q, y, 0);
                for (int x = 0; x < ow; x++) {
                    if (sq < 0 || sq >= view3(shape_of(src)).c) {
                        d[x] = value;
                        continue;
                    }
                    int sy = y - top, sx = x - left;
                    const bool inside = sy >= 0 && sy < h && sx >= 0 && sx < w;
                    if (!inside && type == 0) {
                        d[x] = value;
                        continue;
                    }
                    if (type == 1) {
                        sy = std::min(std::max(sy, 0), h - 1);
                        sx = std::min(std::max(sx, 0), w - 1);
                    } else if (type == 2) {
                        sy = sy < 0 ? -sy : (sy >= h ? 2 * (h - 1) - sy : sy);
                        sx = sx < 0 ? -sx : (sx >= w ? 2 * (w - 1) - sx : sx);
                    }
                    d[x] = *at(src, sq, sy, sx);
                }
            }
        }
        return 0;
    }

    int top = 0, bottom = 0, left = 0, right = 0, type = 0, front = 0, behind = 0;
    float value = 0.f;
};

} // namespace ncnn
