#include "../layer_util.h"

#include <cmath>

namespace ncnn {

// x * sigmoid(x), without parameters.
class Swish : public Layer {
public:
    Swish()
    {
        one_blob_only = true;
        support_inplace = true;
    }
    int forward_inplace(Mat &m, const Option &opt) const override
    {
        for_each_channel(m, opt.num_threads, [](float *p, size_t n, int) {
            for (size_t i = 0; i < n; i++)
                p[i] = p[i] / (1.f + std::exp(-p[i]));
        });
        return 0;
    }
};

BRIVELLE_DEFINE_LAYER_CREATOR(Swish)

} // namespace ncnn
