#pragma once

#include "../layer.h"

namespace ncnn {

// 2-D convolution over c x h x w blobs. Weights: num_output x (channels / group) x kernel_h x kernel_w.
// pad_left == -233 / -234: ncnn's SAME_UPPER / SAME_LOWER (output size ceil(input / stride)).
class Convolution : public Layer {
public:
    Convolution();
    int load_param(const ParamDict &pd, std::string &err) override;
    int load_model(const ModelBin &mb, std::string &err) override;
    int forward(const Mat &bottom_blob, Mat &top_blob, const Option &opt) const override;
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override;
    double macs(const std::vector<Shape> &bottom_shapes, const std::vector<Shape> &top_shapes) const override;

    // The padding of one input size: left/top and right/bottom, resolving the SAME modes.
    void resolve_padding(int w, int h, int &pad_l, int &pad_r, int &pad_t, int &pad_b) const;
    int input_channels() const;

    static constexpr int kSameUpper = -233;
    static constexpr int kSameLower = -234;

    int num_output = 0;
    int kernel_w = 0, kernel_h = 0;
    int dilation_w = 1, dilation_h = 1;
    int stride_w = 1, stride_h = 1;
    int pad_left = 0, pad_right = 0, pad_top = 0, pad_bottom = 0;
    float pad_value = 0.f;
    int bias_term = 0;
    int weight_data_size = 0;
    int group = 1;
    int activation_type = 0;
    std::vector<float> activation_params;

    Mat weight_data;
    Mat bias_data;

protected:
    // ConvolutionDepthWise reads key 7 (group); plain Convolution has one group.
    bool read_group = false;
};

} // namespace ncnn
