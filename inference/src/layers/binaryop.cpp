#include "binaryop.h"

#include "../layer_util.h"

#include <cmath>

namespace ncnn {

int BinaryOp::load_param(const ParamDict &pd, std::string &err)
{
    op_type = pd.get(0, 0);
    with_scalar = pd.get(1, 0);
    b = pd.get(2, 0.f);
    if (op_type < 0 || op_type > 11) {
        err = "key 0 (op_type): expected 0..11, got " + std::to_string(op_type);
        return ERROR_BAD_MODEL;
    }
    one_blob_only = with_scalar != 0;
    support_inplace = with_scalar != 0;
    return 0;
}

int BinaryOp::check_blob_counts(int bottom_count, int top_count, std::string &err) const
{
    const int want = with_scalar ? 1 : 2;
    if (bottom_count != want || top_count != 1) {
        err = "expected " + std::to_string(want) + " input(s) and 1 output, got " +
              std::to_string(bottom_count) + " and " + std::to_string(top_count);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

float BinaryOp::apply(int op, float x, float y)
{
    switch (op) {
    case Operation_ADD:
        return x + y;
    case Operation_SUB:
        return x - y;
    case Operation_MUL:
        return x * y;
    case Operation_DIV:
        return x / y;
    case Operation_MAX:
        return x > y ? x : y;
    case Operation_MIN:
        return x < y ? x : y;
    case Operation_POW:
        return std::pow(x, y);
    case Operation_RSUB:
        return y - x;
    case Operation_RDIV:
        return y / x;
    case Operation_RPOW:
        return std::pow(y, x);
    case Operation_ATAN2:
        return std::atan2(x, y);
    default:
        return std::atan2(y, x);
    }
}

namespace {

// (c, h, w) of an operand once broadcast rules are applied against the other.
View3 operand_view(const Shape &s, const Shape &other)
{
    if (s.dims == 1 && other.dims == 3 && s.w == other.c && s.w != other.w)
        return {s.w, 1, 1};
    return view3(s);
}

bool broadcast(const Shape &a, const Shape &b, View3 &va, View3 &vb, Shape &out)
{
    va = operand_view(a, b);
    vb = operand_view(b, a);
    const int sa[3] = {va.c, va.h, va.w}, sb[3] = {vb.c, vb.h, vb.w};
    int so[3];
    for (int k = 0; k < 3; k++) {
        if (sa[k] != sb[k] && sa[k] != 1 && sb[k] != 1)
            return false;
        so[k] = sa[k] > sb[k] ? sa[k] : sb[k];
    }
    const int dims = a.dims > b.dims ? a.dims : b.dims;
    out = Shape{dims, so[2], dims >= 2 ? so[1] : 1, dims == 3 ? so[0] : 1};
    return true;
}

} // namespace

bool BinaryOp::infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const
{
    if (with_scalar) {
        out.assign(1, in.at(0));
        return true;
    }
    if (in.size() != 2)
        return false;
    View3 va, vb;
    Shape o;
    if (!broadcast(in[0], in[1], va, vb, o))
        return false;
    out.assign(1, o);
    return true;
}

int BinaryOp::forward(const std::vector<Mat> &bottoms, std::vector<Mat> &tops, const Option &opt) const
{
    if (with_scalar) {
        if (bottoms.size() != 1 || !plain_fp32(bottoms[0]))
            return ERROR_BAD_INPUT;
        tops[0] = bottoms[0].clone(opt.blob_allocator);
        if (tops[0].empty())
            return ERROR_OUT_OF_MEMORY;
        return forward_scalar(tops[0], opt);
    }
    if (bottoms.size() != 2 || !plain_fp32(bottoms[0]) || !plain_fp32(bottoms[1]))
        return ERROR_BAD_INPUT;
    View3 va, vb;
    Shape o;
    if (!broadcast(shape_of(bottoms[0]), shape_of(bottoms[1]), va, vb, o))
        return ERROR_BAD_INPUT;
    Mat &top = tops[0];
    create_dims(top, o.dims, o.w, o.h, o.c, opt.blob_allocator);
    if (top.empty())
        return ERROR_OUT_OF_MEMORY;
    const View3 vo = view3(o);
    const Mat &A = bottoms[0], &B = bottoms[1];
    const int op = op_type;
    const bool same = va.c == vb.c && va.h == vb.h && va.w == vb.w;
#pragma omp parallel for num_threads(opt.num_threads)
    for (int q = 0; q < vo.c; q++) {
        for (int y = 0; y < vo.h; y++) {
            float *out = at(top, q, y, 0);
            if (same) {
                const float *pa = at(A, q, y, 0), *pb = at(B, q, y, 0);
                for (int x = 0; x < vo.w; x++)
                    out[x] = apply(op, pa[x], pb[x]);
                continue;
            }
            // Per-channel 1-D operands index by channel, everything else by broadcast coordinates.
            for (int x = 0; x < vo.w; x++) {
                const float a = static_cast<const float *>(
                    A.data)[(va.c == 1 ? 0 : q) * (A.dims == 1 && va.c > 1 ? 1 : A.cstep) +
                            static_cast<size_t>(va.h == 1 ? 0 : y) * A.w + (va.w == 1 ? 0 : x)];
                const float bv = static_cast<const float *>(
                    B.data)[(vb.c == 1 ? 0 : q) * (B.dims == 1 && vb.c > 1 ? 1 : B.cstep) +
                            static_cast<size_t>(vb.h == 1 ? 0 : y) * B.w + (vb.w == 1 ? 0 : x)];
                out[x] = apply(op, a, bv);
            }
        }
    }
    return 0;
}

int BinaryOp::forward_inplace(Mat &m, const Option &opt) const
{
    if (!with_scalar || !plain_fp32(m))
        return ERROR_BAD_INPUT;
    return forward_scalar(m, opt);
}

int BinaryOp::forward_scalar(Mat &m, const Option &opt) const
{
    const int op = op_type;
    const float s = b;
    for_each_channel(m, opt.num_threads, [op, s](float *p, size_t n, int) {
        for (size_t i = 0; i < n; i++)
            p[i] = apply(op, p[i], s);
    });
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(BinaryOp)

Role BinaryOp::role() const
{
    return op_type == Operation_ADD && !with_scalar && bottoms.size() == 2 ? Role::WeightedSum
                                                                           : Role::Compute;
}

} // namespace ncnn
