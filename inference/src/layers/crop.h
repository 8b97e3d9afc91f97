#pragma once

#include "../layer_util.h"
#include <climits>
#include <cstring>

namespace ncnn {

// A window of the input. Either offsets (keys 0 w, 1 h, 2 c), sizes (3 w, 4 h, 5 c; 0 or -233 = up to
// the end less keys 6/7/8), or ranges (-23309 starts, -23310 ends, -23311 axes; negative = from the end).
class Crop : public Layer {
public:
    Crop() { one_blob_only = true; }

    int load_param(const ParamDict &pd, std::string &err) override
    {
        woffset = pd.get(0, 0);
        hoffset = pd.get(1, 0);
        coffset = pd.get(2, 0);
        outw = pd.get(3, 0);
        outh = pd.get(4, 0);
        outc = pd.get(5, 0);
        woffset2 = pd.get(6, 0);
        hoffset2 = pd.get(7, 0);
        coffset2 = pd.get(8, 0);
        starts = pd.get_ints(9);
        ends = pd.get_ints(10);
        axes = pd.get_ints(11);
        for (int v : {woffset, hoffset, coffset, woffset2, hoffset2, coffset2})
            if (v < 0) {
                err = "keys 0-2/6-8 (offsets): expected >= 0, got " + std::to_string(v);
                return ERROR_BAD_MODEL;
            }
        if (starts.size() != ends.size() || (!axes.empty() && axes.size() != starts.size())) {
            err = "keys 9/10/11 (starts, ends, axes): expected equal lengths, got " +
                  std::to_string(starts.size()) + ", " + std::to_string(ends.size()) + ", " +
                  std::to_string(axes.size());
            return ERROR_BAD_MODEL;
        }
        return 0;
    }

    // Start and size along c, h, w for a view; false when the window is empty.
    bool window(const Shape &s, int st[3], int sz[3]) const
    {
        const View3 v = view3(s);
        const int dim[3] = {v.c, v.h, v.w};
        if (!starts.empty()) {
            for (int k = 0; k < 3; k++) {
                st[k] = 0;
                sz[k] = dim[k];
            }
            for (size_t i = 0; i < starts.size(); i++) {
                int axis = axes.empty() ? static_cast<int>(i) : axes[i];
                if (axis < 0)
                    axis += s.dims;
                if (axis < 0 || axis >= s.dims)
                    return false;
                const int k = axis + (3 - s.dims);
                long long b = starts[i], e = ends[i];
                if (b < 0)
                    b += dim[k];
                if (e < 0)
                    e += dim[k];
                b = std::max(0LL, std::min<long long>(b, dim[k]));
                e = std::max(0LL, std::min<long long>(e, dim[k]));
                st[k] = static_cast<int>(b);
                sz[k] = static_cast<int>(e - b);
            }
        } else {
            const int off[3] = {s.dims == 3 ? coffset : 0, s.dims >= 2 ? hoffset : 0, woffset};
            const int off2[3] = {s.dims == 3 ? coffset2 : 0, s.dims >= 2 ? hoffset2 : 0, woffset2};
            const int want[3] = {s.dims == 3 ? outc : 0, s.dims >= 2 ? outh : 0, outw};
            for (int k = 0; k < 3; k++) {
                st[k] = off[k];
                const long long room = static_cast<long long>(dim[k]) - off[k];
                sz[k] = want[k] > 0 ? static_cast<int>(std::min<long long>(want[k], room))
                                    : static_cast<int>(room - off2[k]);
            }
        }
        return sz[0] > 0 && sz[1] > 0 && sz[2] > 0;
    }

    bool infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const override
    {
        int st[3], sz[3];
        if (in.size() != 1 || in[0].dims < 1 || in[0].dims > 3 || !window(in[0], st, sz))
            return false;
        out.assign(1, Shape{in[0].dims, sz[2], in[0].dims >= 2 ? sz[1] : 1, in[0].dims == 3 ? sz[0] : 1});
        return true;
    }

    int forward(const Mat &src, Mat &dst, const Option &opt) const override
    {
        int st[3], sz[3];
        if (!plain_fp32(src) || !window(shape_of(src), st, sz))
            return ERROR_BAD_INPUT;
        create_dims(dst, src.dims, sz[2], sz[1], sz[0], opt.blob_allocator);
        if (dst.empty())
            return ERROR_OUT_OF_MEMORY;
        for (int q = 0; q < sz[0]; q++)
            for (int y = 0; y < sz[1]; y++)
                std::memcpy(at(dst, q, y, 0), at(src, st[0] + q, st[1] + y, st[2]), sizeof(float) * sz[2]);
        return 0;
    }

    int woffset = 0, hoffset = 0, coffset = 0, outw = 0, outh = 0, outc = 0, woffset2 = 0, hoffset2 = 0,
        coffset2 = 0;
    std::vector<int> starts, ends, axes;
};

} // namespace ncnn
