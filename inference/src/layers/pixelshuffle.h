#pragma once

#include "../layer.h"

namespace ncnn {

// Depth to space by key 0 (upscale_factor r): c*r*r channels become c channels r times larger.
// key 1 mode 0: input channel q*r*r + i*r + j feeds output channel q at (i, j) (PyTorch's order);
// mode 1: input channel (i*r + j)*c + q.
class PixelShuffle : public Layer {
public:
    PixelShuffle();
    int load_param(const ParamDict &pd, std::string &err) override;
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override;
    int forward(const Mat &bottom_blob, Mat &top_blob, const Option &opt) const override;

    int upscale_factor = 1;
    int mode = 0;
};

} // namespace ncnn
