#pragma once

// The element-by-element kernel of one operand, which the other activations run too.
#include "../tensor_dispatch.h"

#include <vector>

namespace brivelle::vk {

// out = f(in) element by element, f being the kernel `shader` with its specialization; a and b are f's
// parameters. For the activations: shader "activation" with spec_i(0) ReLU (slope a), 1 clip [a, b], 2
// sigmoid; a function of its own has a shader of its own with the same bindings and push constants.
int unary(Stream &s, const char *shader, const std::vector<SpecConstant> &specialization, const Tensor &in,
          Tensor &out, float a = 0.f, float b = 0.f);

} // namespace brivelle::vk
