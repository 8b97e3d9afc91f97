#include "mat_convert.h"

#include "fp16.h"

#include <cstdint>

namespace ncnn {

int convert_to_fp32_unpacked(const Mat &src, Mat &dst, Allocator *allocator)
{
    if (src.empty()) {
        dst = Mat();
        return ERROR_BAD_INPUT;
    }
    const int pack = src.elempack;
    const size_t scalar = src.elemsize / static_cast<size_t>(pack);
    if (pack == 1 && scalar == 4) {
        dst = src;
        return 0;
    }
    if (scalar != 4 && scalar != 2)
        return ERROR_FAILED;
    Mat out;
    const int outc = src.dims >= 3 ? src.c * pack : src.c;
    switch (src.dims) {
    case 1:
        out.create(src.w * pack, 4u, allocator);
        break;
    case 2:
        out.create(src.w, src.h * pack, 4u, allocator);
        break;
    case 3:
        out.create(src.w, src.h, outc, 4u, allocator);
        break;
    default:
        out.create(src.w, src.h, src.d, outc, 4u, allocator);
        break;
    }
    if (out.empty())
        return ERROR_OUT_OF_MEMORY;
    const size_t plane = static_cast<size_t>(src.w) * src.h * src.d;
    auto read = [&](size_t index) -> float {
        if (scalar == 4)
            return static_cast<const float *>(src.data)[index];
        return float16_to_float32(static_cast<const uint16_t *>(src.data)[index]);
    };
    if (src.dims <= 2) {
        // Packed rows (2-D) or packed elements (1-D) unfold along the outermost axis.
        const int rows = src.dims == 1 ? 1 : src.h;
        const int w = src.dims == 1 ? 1 : src.w;
        const int lanes_w = src.dims == 1 ? src.w : 1;
        float *o = out;
        for (int y = 0; y < rows; y++)
            for (int x = 0; x < w * lanes_w; x++)
                for (int k = 0; k < pack; k++) {
                    const size_t in_index = (static_cast<size_t>(y) * w * lanes_w + x) * pack + k;
                    const size_t out_index = src.dims == 1 ? static_cast<size_t>(x) * pack + k
                                                           : (static_cast<size_t>(y) * pack + k) * w + x;
                    o[out_index] = read(in_index);
                }
        return dst = out, 0;
    }
    for (int q = 0; q < src.c; q++) {
        for (int k = 0; k < pack; k++) {
            float *o = static_cast<float *>(out.data) + out.cstep * (static_cast<size_t>(q) * pack + k);
            const size_t base = src.cstep * pack * static_cast<size_t>(q);
            for (size_t i = 0; i < plane; i++)
                o[i] = read(base + i * pack + k);
        }
    }
    dst = out;
    return 0;
}

} // namespace ncnn
