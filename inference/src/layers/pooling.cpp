#include "pooling.h"

namespace ncnn {

BRIVELLE_DEFINE_LAYER_CREATOR(Pooling)

} // namespace ncnn
