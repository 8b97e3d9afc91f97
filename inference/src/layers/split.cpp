#include "../layer.h"

namespace ncnn {

// Hands the same data to several consumers; the copies share memory.
class Split : public Layer {
public:
    Role role() const override { return Role::Alias; }
    int check_blob_counts(int bottom_count, int top_count, std::string &err) const override
    {
        if (bottom_count != 1 || top_count < 1) {
            err = "expected 1 input and at least 1 output, got " + std::to_string(bottom_count) + " and " +
                  std::to_string(top_count);
            return ERROR_BAD_MODEL;
        }
        return 0;
    }
    int forward(const std::vector<Mat> &bottom_blobs, std::vector<Mat> &top_blobs,
                const Option &) const override
    {
        for (Mat &t : top_blobs)
            t = bottom_blobs[0];
        return 0;
    }
};

BRIVELLE_DEFINE_LAYER_CREATOR(Split)

} // namespace ncnn
