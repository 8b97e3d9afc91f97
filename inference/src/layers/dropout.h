#pragma once

#include "../layer_util.h"

namespace ncnn {

// Inference-time dropout: a multiplication by key 0 (scale, default 1).
class Dropout : public Layer {
public:
    Dropout()
    {
        one_blob_only = true;
        support_inplace = true;
    }
    int load_param(const ParamDict &pd, std::string &) override
    {
        scale = pd.get(0, 1.f);
        return 0;
    }
    Role role() const override { return scale == 1.f ? Role::Alias : Role::Compute; }
    int forward_inplace(Mat &m, const Option &opt) const override
    {
        if (scale == 1.f)
            return 0;
        const float s = scale;
        for_each_channel(m, opt.num_threads, [s](float *p, size_t n, int) {
            for (size_t i = 0; i < n; i++)
                p[i] *= s;
        });
        return 0;
    }
    float scale = 1.f;
};

} // namespace ncnn
