#pragma once

// The element-by-element kernel of two operands, which Eltwise, PReLU and Dropout run too.
#include "../tensor_dispatch.h"

namespace brivelle::vk {

// Binary operations; op codes as in binary.comp (0-11 BinaryOp, 20 PReLU, 21 weighted sum).
enum BinaryCode { kPReLU = 20, kWeightedSum = 21 };
// b may broadcast along any axis of extent 1; a b without a buffer means the scalar.
int binary(Stream &s, int op, const Tensor &a, const Tensor &b, float scalar, Tensor &out, float ca = 1.f,
           float cb = 1.f);

} // namespace brivelle::vk
