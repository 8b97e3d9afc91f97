#include "crop.h"

#include <climits>
#include <cstring>

namespace ncnn {

BRIVELLE_DEFINE_LAYER_CREATOR(Crop)

} // namespace ncnn
