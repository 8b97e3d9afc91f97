#pragma once

#include "../layer.h"

namespace ncnn {

// Leaky ReLU with one learned slope per channel (key 0 num_slope), or one shared slope when num_slope is 1.
class PReLU : public Layer {
public:
    PReLU();
    int load_param(const ParamDict &pd, std::string &err) override;
    int load_model(const ModelBin &mb, std::string &err) override;
    int forward_inplace(Mat &bottom_top_blob, const Option &opt) const override;

    int num_slope = 0;
    Mat slope_data;
};

} // namespace ncnn
