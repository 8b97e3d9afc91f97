#include "dropout.h"

namespace ncnn {

BRIVELLE_DEFINE_LAYER_CREATOR(Dropout)

} // namespace ncnn
