#include "../layer_util.h"

namespace ncnn {

// Everything into one row, channel after channel.
class Flatten : public Layer {
public:
    Flatten() { one_blob_only = true; }
    bool infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const override
    {
        if (in.size() != 1)
            return false;
        out.assign(1, Shape{1, in[0].w * in[0].h * in[0].c, 1, 1});
        return true;
    }
    int forward(const Mat &src, Mat &dst, const Option &opt) const override
    {
        if (!plain_fp32(src))
            return ERROR_BAD_INPUT;
        dst = src.reshape(src.w * src.h * src.c, opt.blob_allocator);
        return dst.empty() ? ERROR_OUT_OF_MEMORY : 0;
    }
};

BRIVELLE_DEFINE_LAYER_CREATOR(Flatten)

} // namespace ncnn
