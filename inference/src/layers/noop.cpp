#include "../layer.h"

namespace ncnn {

class Noop : public Layer {
public:
    Noop() { support_inplace = true; }
    Role role() const override { return Role::Alias; }
    int forward(const std::vector<Mat> &bottom_blobs, std::vector<Mat> &top_blobs,
                const Option &) const override
    {
        for (size_t i = 0; i < top_blobs.size() && i < bottom_blobs.size(); i++)
            top_blobs[i] = bottom_blobs[i];
        return 0;
    }
    int check_blob_counts(int bottom_count, int top_count, std::string &err) const override
    {
        if (bottom_count != top_count) {
            err = "expected as many outputs as inputs, got " + std::to_string(bottom_count) + " and " +
                  std::to_string(top_count);
            return ERROR_BAD_MODEL;
        }
        return 0;
    }
};

BRIVELLE_DEFINE_LAYER_CREATOR(Noop)

} // namespace ncnn
