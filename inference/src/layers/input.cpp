#include "../layer.h"

namespace ncnn {

// The network's entry: its blob is set by Extractor::input, so forward never runs. Keys 0/1/2 give an
// optional shape hint (w, h, c).
class Input : public Layer {
public:
    Input()
    {
        one_blob_only = true;
        support_inplace = true;
    }
    Role role() const override { return Role::Input; }
    int check_blob_counts(int bottom_count, int top_count, std::string &err) const override
    {
        if (bottom_count != 0 || top_count != 1) {
            err = "expected 0 inputs and 1 output, got " + std::to_string(bottom_count) + " and " +
                  std::to_string(top_count);
            return ERROR_BAD_MODEL;
        }
        return 0;
    }
    int load_param(const ParamDict &pd, std::string &) override
    {
        hint = Shape{3, pd.get(0, 0), pd.get(1, 0), pd.get(2, 0)};
        return 0;
    }
    // Without inputs: the shape hint of the parameters.
    bool infer_shape(const std::vector<Shape> &bottom_shapes, std::vector<Shape> &top_shapes) const override
    {
        if (!bottom_shapes.empty() || top_shapes.size() != 1)
            return false;
        top_shapes[0] = hint;
        return true;
    }
    int forward_inplace(Mat &, const Option &) const override { return 0; }

    Shape hint;
};

BRIVELLE_DEFINE_LAYER_CREATOR(Input)

} // namespace ncnn
