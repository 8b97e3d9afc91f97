#include "eltwise.h"

#include "../layer_util.h"

namespace ncnn {

int Eltwise::load_param(const ParamDict &pd, std::string &err)
{
    op_type = pd.get(0, 0);
    coeffs = pd.get_floats(1);
    if (op_type < 0 || op_type > 2) {
        err = "key 0 (op_type): expected 0..2, got " + std::to_string(op_type);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

int Eltwise::check_blob_counts(int bottom_count, int top_count, std::string &err) const
{
    if (bottom_count < 1 || top_count != 1) {
        err = "expected at least 1 input and 1 output, got " + std::to_string(bottom_count) + " and " +
              std::to_string(top_count);
        return ERROR_BAD_MODEL;
    }
    if (!coeffs.empty() && static_cast<int>(coeffs.size()) != bottom_count) {
        err = "key 1 (coeffs): expected " + std::to_string(bottom_count) + " values, got " +
              std::to_string(coeffs.size());
        return ERROR_BAD_MODEL;
    }
    return 0;
}

bool Eltwise::infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const
{
    for (const Shape &s : in)
        if (!(s == in[0]))
            return false;
    out.assign(1, in[0]);
    return !in.empty();
}

int Eltwise::forward(const std::vector<Mat> &bottoms, std::vector<Mat> &tops, const Option &opt) const
{
    std::vector<Shape> in, out;
    for (const Mat &m : bottoms) {
        if (!plain_fp32(m))
            return ERROR_BAD_INPUT;
        in.push_back(shape_of(m));
    }
    if (!infer_shape(in, out) || (!coeffs.empty() && coeffs.size() != bottoms.size()))
        return ERROR_BAD_INPUT;
    Mat &top = tops[0];
    top.create_like(bottoms[0], opt.blob_allocator);
    if (top.empty())
        return ERROR_OUT_OF_MEMORY;
    const int op = op_type;
    const std::vector<float> &co = coeffs;
    for_each_channel(top, opt.num_threads, [&](float *o, size_t n, int q) {
        for (size_t k = 0; k < bottoms.size(); k++) {
            const float *a = static_cast<const float *>(bottoms[k].data) + bottoms[k].cstep * q;
            const float coef = co.empty() ? 1.f : co[k];
            if (k == 0) {
                for (size_t i = 0; i < n; i++)
                    o[i] = op == Operation_SUM ? a[i] * coef : a[i];
                continue;
            }
            for (size_t i = 0; i < n; i++) {
                if (op == Operation_PROD)
                    o[i] *= a[i];
                else if (op == Operation_SUM)
                    o[i] += a[i] * coef;
                else
                    o[i] = o[i] > a[i] ? o[i] : a[i];
            }
        }
    });
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(Eltwise)

Role Eltwise::role() const
{
    return op_type == Operation_SUM && bottoms.size() == 2 ? Role::WeightedSum : Role::Compute;
}

void Eltwise::sum_weights(float &a, float &b) const
{
    // The coefficients are all there or all absent.
    a = coeffs.size() == 2 ? coeffs[0] : 1.f;
    b = coeffs.size() == 2 ? coeffs[1] : 1.f;
}

} // namespace ncnn
