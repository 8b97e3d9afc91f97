#pragma once

#include "convolution.h"

namespace ncnn {

// Grouped convolution: key 7 is the group count (equal to the channel count for a true depthwise one).
class ConvolutionDepthWise : public Convolution {
public:
    ConvolutionDepthWise() { read_group = true; }
};

} // namespace ncnn
