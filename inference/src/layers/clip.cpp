#include "clip.h"

namespace ncnn {

BRIVELLE_DEFINE_LAYER_CREATOR(Clip)

} // namespace ncnn
