#include "concat.h"

#include "../layer_util.h"

#include <cstring>

namespace ncnn {

int Concat::load_param(const ParamDict &pd, std::string &err)
{
    axis = pd.get(0, 0);
    if (axis < -3 || axis > 2) {
        err = "key 0 (axis): expected -3..2, got " + std::to_string(axis);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

int Concat::check_blob_counts(int bottom_count, int top_count, std::string &err) const
{
    if (bottom_count < 1 || top_count != 1) {
        err = "expected at least 1 input and 1 output, got " + std::to_string(bottom_count) + " and " +
              std::to_string(top_count);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

namespace {

constexpr int kNoAxis = -1;

// Axis as an index into View3 order (0 c, 1 h, 2 w); kNoAxis when it does not exist for the rank.
int view_axis(int axis, int dims)
{
    const int a = axis < 0 ? axis + dims : axis;
    if (a < 0 || a >= dims)
        return kNoAxis;
    return a + (3 - dims);
}

} // namespace

Role Concat::role() const
{
    // Axis 0 (or -3) of a 3-D blob is its channels; a concatenation of other ranks is planned as a
    // computation.
    return axis == 0 || axis == -3 ? Role::Concat : Role::Compute;
}

bool Concat::infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const
{
    if (in.empty())
        return false;
    const int dims = in[0].dims;
    const int va = view_axis(axis, dims);
    if (va < 0)
        return false;
    View3 total = view3(in[0]);
    int sum = 0;
    for (const Shape &s : in) {
        if (s.dims != dims)
            return false;
        const View3 v = view3(s);
        const int sz[3] = {v.c, v.h, v.w};
        const int tz[3] = {total.c, total.h, total.w};
        for (int k = 0; k < 3; k++)
            if (k != va && sz[k] != tz[k])
                return false;
        sum += sz[va];
    }
    int sz[3] = {total.c, total.h, total.w};
    sz[va] = sum;
    Shape r{dims, sz[2], dims >= 2 ? sz[1] : 1, dims == 3 ? sz[0] : 1};
    out.assign(1, r);
    return true;
}

int Concat::forward(const std::vector<Mat> &bottoms, std::vector<Mat> &tops, const Option &opt) const
{
    std::vector<Shape> in, out;
    for (const Mat &m : bottoms) {
        if (!plain_fp32(m))
            return ERROR_BAD_INPUT;
        in.push_back(shape_of(m));
    }
    if (!infer_shape(in, out))
        return ERROR_BAD_INPUT;
    Mat &top = tops[0];
    create_dims(top, out[0].dims, out[0].w, out[0].h, out[0].c, opt.blob_allocator);
    if (top.empty())
        return ERROR_OUT_OF_MEMORY;
    const int va = view_axis(axis, out[0].dims);
    int offset = 0;
    for (const Mat &b : bottoms) {
        const View3 v = view3(shape_of(b));
        for (int q = 0; q < v.c; q++)
            for (int y = 0; y < v.h; y++) {
                const int oq = va == 0 ? q + offset : q, oy = va == 1 ? y + offset : y,
                          ox = va == 2 ? offset : 0;
                std::memcpy(at(top, oq, oy, ox), at(b, q, y, 0), sizeof(float) * v.w);
            }
        offset += va == 0 ? v.c : (va == 1 ? v.h : v.w);
    }
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(Concat)

} // namespace ncnn
