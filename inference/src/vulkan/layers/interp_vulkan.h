#pragma once

// The resizing kernel.
#include "../tensor_dispatch.h"

namespace brivelle::vk {

// mode 1 nearest, 2 bilinear; scales are input size over output size (or its aligned-corner form).
int interp(Stream &s, const Tensor &in, Tensor &out, int mode, bool alignCorner, float scaleX, float scaleY);

} // namespace brivelle::vk
