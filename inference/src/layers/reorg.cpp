#include "reorg.h"

#include "../layer_util.h"

namespace ncnn {

Reorg::Reorg()
{
    one_blob_only = true;
}

int Reorg::load_param(const ParamDict &pd, std::string &err)
{
    stride = pd.get(0, 1);
    mode = pd.get(1, 0);
    if (stride < 1 || stride > 256) {
        err = "key 0 (stride): expected 1..256, got " + std::to_string(stride);
        return ERROR_BAD_MODEL;
    }
    if (mode != 0 && mode != 1) {
        err = "key 1 (mode): expected 0 or 1, got " + std::to_string(mode);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

bool Reorg::infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const
{
    if (in.size() != 1 || in[0].dims != 3 || in[0].w < stride || in[0].h < stride)
        return false;
    out.assign(1, Shape{3, in[0].w / stride, in[0].h / stride, in[0].c * stride * stride});
    return true;
}

int Reorg::forward(const Mat &bottom, Mat &top, const Option &opt) const
{
    std::vector<Shape> out;
    if (!plain_fp32(bottom) || !infer_shape({shape_of(bottom)}, out))
        return ERROR_BAD_INPUT;
    const int s = stride, c = bottom.c, ow = out[0].w, oh = out[0].h;
    top.create(ow, oh, out[0].c, 4u, opt.blob_allocator);
    if (top.empty())
        return ERROR_OUT_OF_MEMORY;
#pragma omp parallel for num_threads(opt.num_threads)
    for (int q = 0; q < c; q++)
        for (int i = 0; i < s; i++)
            for (int j = 0; j < s; j++) {
                const int dst_q = mode == 0 ? q * s * s + i * s + j : (i * s + j) * c + q;
                for (int y = 0; y < oh; y++) {
                    const float *src = at(bottom, q, y * s + i, j);
                    float *dst = at(top, dst_q, y, 0);
                    for (int x = 0; x < ow; x++)
                        dst[x] = src[x * s];
                }
            }
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(Reorg)

} // namespace ncnn
