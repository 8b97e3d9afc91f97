#include "convolutiondepthwise.h"

namespace ncnn {

BRIVELLE_DEFINE_LAYER_CREATOR(ConvolutionDepthWise)

} // namespace ncnn
