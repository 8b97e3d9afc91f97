#pragma once

// The kernel between depth and space, which Reorg runs too.
#include "../tensor_dispatch.h"

namespace brivelle::vk {

// depthToSpace: PixelShuffle, else Reorg.
int shuffle(Stream &s, const Tensor &in, Tensor &out, bool depthToSpace, int mode, int r);

} // namespace brivelle::vk
