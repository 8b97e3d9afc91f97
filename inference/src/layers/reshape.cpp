#include "../layer_util.h"

namespace ncnn {

// New shape with the same elements in the same order. keys 0 w, 1 h, 2 c: -233 leaves the axis out
// (fewer dimensions), 0 keeps the input's size on that axis, -1 takes what is left.
class Reshape : public Layer {
public:
    Reshape() { one_blob_only = true; }

    int load_param(const ParamDict &pd, std::string &err) override
    {
        w = pd.get(0, -233);
        h = pd.get(1, -233);
        c = pd.get(2, -233);
        if (pd.get(3, 0) != 0 || pd.get(11, -233) != -233) {
            err = "keys 3 (permute) and 11 (depth) are not supported";
            return ERROR_BAD_MODEL;
        }
        for (int v : {w, h, c})
            if (v < -1 && v != -233) {
                err = "keys 0/1/2: expected -233, -1 or >= 0, got " + std::to_string(v);
                return ERROR_BAD_MODEL;
            }
        return 0;
    }

    bool infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const override
    {
        if (in.size() != 1 || in[0].dims < 1 || in[0].dims > 3)
            return false;
        const int dims = h == -233 ? 1 : (c == -233 ? 2 : 3);
        int sz[3] = {w, dims >= 2 ? h : 1, dims == 3 ? c : 1};
        const int old[3] = {in[0].w, in[0].h, in[0].c};
        const long long total = static_cast<long long>(in[0].w) * in[0].h * in[0].c;
        long long known = 1;
        int infer = -1;
        for (int k = 0; k < dims; k++) {
            if (sz[k] == 0)
                sz[k] = old[k];
            if (sz[k] == -1) {
                if (infer >= 0)
                    return false;
                infer = k;
                continue;
            }
            known *= sz[k];
        }
        if (known <= 0)
            return false;
        if (infer >= 0) {
            if (total % known != 0)
                return false;
            sz[infer] = static_cast<int>(total / known);
            known *= sz[infer];
        }
        if (known != total)
            return false;
        out.assign(1, Shape{dims, sz[0], sz[1], sz[2]});
        return true;
    }

    int forward(const Mat &src, Mat &dst, const Option &opt) const override
    {
        std::vector<Shape> out;
        if (!plain_fp32(src) || !infer_shape({shape_of(src)}, out))
            return ERROR_BAD_INPUT;
        if (out[0].dims == 1)
            dst = src.reshape(out[0].w, opt.blob_allocator);
        else if (out[0].dims == 2)
            dst = src.reshape(out[0].w, out[0].h, opt.blob_allocator);
        else
            dst = src.reshape(out[0].w, out[0].h, out[0].c, opt.blob_allocator);
        return dst.empty() ? ERROR_OUT_OF_MEMORY : 0;
    }

    int w = -233, h = -233, c = -233;
};

BRIVELLE_DEFINE_LAYER_CREATOR(Reshape)

} // namespace ncnn
