#include "padding.h"

namespace ncnn {

BRIVELLE_DEFINE_LAYER_CREATOR(Padding)

} // namespace ncnn
