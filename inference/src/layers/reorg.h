#pragma once

#include "../layer.h"

namespace ncnn {

// Space to depth (pixel unshuffle) by key 0 (stride s): output channel q*s*s + i*s + j holds input
// channel q at offset (i, j) (key 1 mode 0, PyTorch's order) or channel (i*s + j)*c + q (mode 1).
class Reorg : public Layer {
public:
    Reorg();
    int load_param(const ParamDict &pd, std::string &err) override;
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override;
    int forward(const Mat &bottom_blob, Mat &top_blob, const Option &opt) const override;

    int stride = 1;
    int mode = 0;
};

} // namespace ncnn
