#include "relu.h"

namespace ncnn {

BRIVELLE_DEFINE_LAYER_CREATOR(ReLU)

} // namespace ncnn
