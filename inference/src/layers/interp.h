#pragma once

#include "../layer.h"

namespace ncnn {

// Resizes each channel. key 0: 1 nearest, 2 bilinear, 3 bicubic; keys 1/2 height/width scale, or
// keys 3/4 output height/width; key 6 align_corner (bilinear, bicubic).
class Interp : public Layer {
public:
    Interp();
    int load_param(const ParamDict &pd, std::string &err) override;
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override;
    int forward(const Mat &bottom_blob, Mat &top_blob, const Option &opt) const override;

    int resize_type = 1;
    float height_scale = 1.f, width_scale = 1.f;
    int output_height = 0, output_width = 0;
    int align_corner = 0;
};

} // namespace ncnn
