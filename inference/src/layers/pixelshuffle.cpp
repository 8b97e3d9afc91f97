#include "pixelshuffle.h"

#include "../layer_util.h"

namespace ncnn {

PixelShuffle::PixelShuffle()
{
    one_blob_only = true;
}

int PixelShuffle::load_param(const ParamDict &pd, std::string &err)
{
    upscale_factor = pd.get(0, 1);
    mode = pd.get(1, 0);
    if (upscale_factor < 1 || upscale_factor > 256) {
        err = "key 0 (upscale_factor): expected 1..256, got " + std::to_string(upscale_factor);
        return ERROR_BAD_MODEL;
    }
    if (mode != 0 && mode != 1) {
        err = "key 1 (mode): expected 0 or 1, got " + std::to_string(mode);
        return ERROR_BAD_MODEL;
    }
    return 0;
}

bool PixelShuffle::infer_shape(const std::vector<Shape> &in, std::vector<Shape> &out) const
{
    const int rr = upscale_factor * upscale_factor;
    if (in.size() != 1 || in[0].dims != 3 || in[0].c % rr != 0)
        return false;
    out.assign(1, Shape{3, in[0].w * upscale_factor, in[0].h * upscale_factor, in[0].c / rr});
    return true;
}

int PixelShuffle::forward(const Mat &bottom, Mat &top, const Option &opt) const
{
    std::vector<Shape> out;
    if (!plain_fp32(bottom) || !infer_shape({shape_of(bottom)}, out))
        return ERROR_BAD_INPUT;
    const int r = upscale_factor, outc = out[0].c, w = bottom.w, h = bottom.h;
    top.create(out[0].w, out[0].h, outc, 4u, opt.blob_allocator);
    if (top.empty())
        return ERROR_OUT_OF_MEMORY;
#pragma omp parallel for num_threads(opt.num_threads)
    for (int q = 0; q < outc; q++)
        for (int i = 0; i < r; i++)
            for (int j = 0; j < r; j++) {
                const int src_q = mode == 0 ? q * r * r + i * r + j : (i * r + j) * outc + q;
                for (int y = 0; y < h; y++) {
                    const float *src = at(bottom, src_q, y, 0);
                    float *dst = at(top, q, y * r + i, j);
                    for (int x = 0; x < w; x++)
                        dst[x * r] = src[x];
                }
            }
    return 0;
}

BRIVELLE_DEFINE_LAYER_CREATOR(PixelShuffle)

} // namespace ncnn
