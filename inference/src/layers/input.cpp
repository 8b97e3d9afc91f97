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
    bool check_blob_counts(int bottom_count, int top_count, std::string &err) const override
    {
        if (bottom_count != 0 || top_count != 1) {
            err = "expected 0 inputs and 1 output, got " + std::to_string(bottom_count) + " and " +
                  std::to_string(top_count);
            return false;
        }
        return true;
    }
    int forward_inplace(Mat &, const Option &) const override { return 0; }
};

BRIVELLE_DEFINE_LAYER_CREATOR(Input)

} // namespace ncnn
