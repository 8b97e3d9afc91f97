#pragma once

// The kernel that places a tensor inside another, which the plan runs for concatenations too.
#include "../tensor_dispatch.h"

namespace brivelle::vk {

// Copies in into out at (ox, oy, oz).
int place(Stream &s, const Tensor &in, Tensor &out, int ox, int oy, int oz);

} // namespace brivelle::vk
