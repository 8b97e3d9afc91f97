#pragma once

#include "../layer.h"

namespace ncnn {

// Joins blobs of equal rank along key 0 (axis; 0 = the outermost: channels for 3-D; negative counts
// from the innermost).
class Concat : public Layer {
public:
    int load_param(const ParamDict &pd, std::string &err) override;
    int check_blob_counts(int bottom_count, int top_count, std::string &err) const override;
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override;
    Role role() const override;
    int forward(const std::vector<Mat> &bottom_blobs, std::vector<Mat> &top_blobs,
                const Option &opt) const override;

    int axis = 0;
};

} // namespace ncnn
