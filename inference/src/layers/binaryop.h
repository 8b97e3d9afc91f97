#pragma once

#include "../layer.h"

namespace ncnn {

// a op b with numpy-style broadcasting over (c, h, w), or a op scalar (key 1 with_scalar, key 2 b).
// A 1-D operand whose length is the other's channel count and not its width scales per channel.
class BinaryOp : public Layer {
public:
    enum OperationType {
        Operation_ADD = 0,
        Operation_SUB = 1,
        Operation_MUL = 2,
        Operation_DIV = 3,
        Operation_MAX = 4,
        Operation_MIN = 5,
        Operation_POW = 6,
        Operation_RSUB = 7,
        Operation_RDIV = 8,
        Operation_RPOW = 9,
        Operation_ATAN2 = 10,
        Operation_RATAN2 = 11
    };
    int load_param(const ParamDict &pd, std::string &err) override;
    int check_blob_counts(int bottom_count, int top_count, std::string &err) const override;
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override;
    int forward(const std::vector<Mat> &bottom_blobs, std::vector<Mat> &top_blobs,
                const Option &opt) const override;

    int forward_inplace(Mat &bottom_top_blob, const Option &opt) const override;
    using Layer::forward;
    using Layer::forward_inplace;

    // A sum of two blobs is a weighted sum (of coefficients 1).
    Role role() const override;
    static float apply(int op_type, float a, float b);

    int op_type = 0;
    int with_scalar = 0;
    float b = 0.f;

private:
    int forward_scalar(Mat &m, const Option &opt) const;
};

} // namespace ncnn
