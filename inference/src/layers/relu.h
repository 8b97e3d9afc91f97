#pragma once

#include "../layer_util.h"

namespace ncnn {

// max(x, 0), or x * slope below zero when key 0 (slope) is set.
class ReLU : public Layer {
public:
    ReLU()
    {
        one_blob_only = true;
        support_inplace = true;
    }
    int load_param(const ParamDict &pd, std::string &) override
    {
        slope = pd.get(0, 0.f);
        return 0;
    }
    int forward_inplace(Mat &m, const Option &opt) const override
    {
        const float s = slope;
        for_each_channel(m, opt.num_threads, [s](float *p, size_t n, int) {
            for (size_t i = 0; i < n; i++)
                p[i] = p[i] > 0.f ? p[i] : p[i] * s;
        });
        return 0;
    }
    float slope = 0.f;
};

} // namespace ncnn
