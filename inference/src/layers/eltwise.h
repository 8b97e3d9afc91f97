#pragma once

#include "../layer.h"

namespace ncnn {

// Element-wise over inputs of one shape. key 0: 0 product, 1 sum (with key 1 coefficients, one per
// input), 2 max.
class Eltwise : public Layer {
public:
    enum OperationType { Operation_PROD = 0, Operation_SUM = 1, Operation_MAX = 2 };
    int load_param(const ParamDict &pd, std::string &err) override;
    int check_blob_counts(int bottom_count, int top_count, std::string &err) const override;
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override;
    int forward(const std::vector<Mat> &bottom_blobs, std::vector<Mat> &top_blobs,
                const Option &opt) const override;
    // A sum of two inputs is a weighted sum by its coefficients.
    Role role() const override;
    void sum_weights(float &a, float &b) const override;

    int op_type = 0;
    std::vector<float> coeffs;
};

} // namespace ncnn
