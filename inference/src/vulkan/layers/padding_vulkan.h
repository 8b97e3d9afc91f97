#pragma once

// The padding kernel, which Crop runs too.
#include "../tensor_dispatch.h"

namespace brivelle::vk {

// out(x, y, z) = in(x - left, y - top, z - front); mode 0 constant, 1 replicate, 2 reflect. Also crops.
int pad(Stream &s, const Tensor &in, Tensor &out, int left, int top, int front, int mode, float value);

} // namespace brivelle::vk
