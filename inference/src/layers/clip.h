#pragma once

#include "../layer_util.h"

#include <cfloat>

namespace ncnn {

// Clamps to [key 0 (min), key 1 (max)].
class Clip : public Layer {
public:
    Clip()
    {
        one_blob_only = true;
        support_inplace = true;
    }
    int load_param(const ParamDict &pd, std::string &err) override
    {
        min = pd.get(0, -FLT_MAX);
        max = pd.get(1, FLT_MAX);
        if (!(min <= max)) {
            err = "key 0 (min) must not exceed key 1 (max)";
            return ERROR_BAD_MODEL;
        }
        return 0;
    }
    int forward_inplace(Mat &m, const Option &opt) const override
    {
        const float lo = min, hi = max;
        for_each_channel(m, opt.num_threads, [lo, hi](float *p, size_t n, int) {
            for (size_t i = 0; i < n; i++)
                p[i] = p[i] < lo ? lo : (p[i] > hi ? hi : p[i]);
        });
        return 0;
    }
    float min = -FLT_MAX, max = FLT_MAX;
};

} // namespace ncnn
