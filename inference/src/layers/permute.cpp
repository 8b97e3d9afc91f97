#include "../layer_util.h"

namespace ncnn {

// Reorders the axes. key 0 names the output order, innermost first: for 3-D 0 w-h-c, 1 h-w-c, 2 w-c-h,
// 3 c-w-h, 4 h-c-w, 5 c-h-w; for 2-D 0 w-h, 1 h-w.
class Permute : public Layer {
public:
    Permute() { one_blob_only = true; }

    int load_param(const ParamDict &pd, std::string &err) override
    {
        order_type = pd.get(0, 0);
        if (order_type < 0 || order_type > 5) {
            err = "key 0 (order_type): expected 0..5, got " + std::to_string(order_type);
            return ERROR_BAD_MODEL;
        }
        return 0;
    }

    // Input axis (0 w, 1 h, 2 c) that becomes output axis k.
    void order(int o[3]) const
    {
        static const int table[6][3] = {{0, 1, 2}, {1, 0, 2}, {0, 2, 1}, {2, 0, 1}, {1, 2, 0}, {2, 1, 0}};
        for (int k = 0; k < 3; k++)
            o[k] = table[order_type][k];
    }

    bool infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const override
    {
        if (in.size() != 1 || in[0].dims < 1 || in[0].dims > 3 || (in[0].dims == 2 && order_type > 1))
            return false;
        if (in[0].dims == 1) {
            out = in;
            return true;
        }
        int o[3];
        order(o);
        const int sz[3] = {in[0].w, in[0].h, in[0].c};
        out.assign(1, Shape{in[0].dims, sz[o[0]], sz[o[1]], in[0].dims == 3 ? sz[o[2]] : 1});
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
        int o[3];
        order(o);
        const View3 v = view3(out[0]);
        for (int q = 0; q < v.c; q++)
            for (int y = 0; y < v.h; y++) {
                float *d = at(dst, q, y, 0);
                for (int x = 0; x < v.w; x++) {
                    int idx[3] = {0, 0, 0}; // input w, h, c
                    idx[o[0]] = x;
                    idx[o[1]] = y;
                    idx[o[2]] = q;
                    d[x] = *at(src, idx[2], idx[1], idx[0]);
                }
            }
        return 0;
    }

    int order_type = 0;
};

BRIVELLE_DEFINE_LAYER_CREATOR(Permute)

} // namespace ncnn
