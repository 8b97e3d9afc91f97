#pragma once

#include <ncnn/errors.h>
#include <ncnn/mat.h>

namespace ncnn {

// Any stored layout (elempack 1/4/8/..., fp32 or fp16 scalars) to plain planar fp32 with elempack 1.
// Channel k of a packed Mat holds channels k*elempack .. k*elempack+elempack-1 interleaved per element.
// Returns 0, or ERROR_OUT_OF_MEMORY; an fp32 elempack-1 source is shared, not copied.
int convert_to_fp32_unpacked(const Mat &src, Mat &dst, Allocator *allocator);

} // namespace ncnn
