#include "prelu.h"

#include "../layer_util.h"

namespace ncnn {

PReLU::PReLU()
{
    one_blob_only = true;
    support_inplace = true;
}

int PReLU::load_param(const ParamDict &pd, std::string &err)
{
    num_slope = pd.get(0, 0);
    if (num_slope < 1 || num_slope > (1 << 20)) {
        err = "key 0 (num_slope): expected 1..1048576, got " + std::to_string(num_slope);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

int PReLU::load_model(const ModelBin &mb, std::string &err)
{
    slope_data = mb.load(num_slope, 1);
    if (slope_data.empty()) {
        err = mb.error();
        return ERROR_BAD_MODEL;
    }
    return 0;
}

int PReLU::forward_inplace(Mat &m, const Option &opt) const
{
    const float *slopes = slope_data;
    if (m.dims == 3 || m.dims == 4) {
        if (num_slope != 1 && num_slope != m.c)
            return ERROR_BAD_INPUT;
        const int shared = num_slope == 1;
        for_each_channel(m, opt.num_threads, [slopes, shared](float *p, size_t n, int q) {
            const float s = slopes[shared ? 0 : q];
            for (size_t i = 0; i < n; i++)
                p[i] = p[i] > 0.f ? p[i] : p[i] * s;
        });
        return 0;
    }
    // 1-D: one slope per element; 2-D: one per row.
    const int groups = m.dims == 1 ? m.w : m.h;
    if (num_slope != 1 && num_slope != groups)
        return ERROR_BAD_INPUT;
    float *p = m;
    const int per = m.dims == 1 ? 1 : m.w;
    for (int g = 0; g < groups; g++) {
        const float s = slopes[num_slope == 1 ? 0 : g];
        for (int i = 0; i < per; i++) {
            float &v = p[static_cast<size_t>(g) * per + i];
            v = v > 0.f ? v : v * s;
        }
    }
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(PReLU)

} // namespace ncnn
