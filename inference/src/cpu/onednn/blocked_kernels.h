#pragma once

// Loops over blobs in the channel-blocked layout (channel c of pixel (y, x) at
// ((c / block) * h * w + y * w + x) * block + c % block) for the layers that oneDNN has no fast
// primitive for. Each call covers a whole blob; padded channels of the output are written as zeros.

#include "onednn_plan.h"

namespace brivelle::onednn {

void preluBlocked(const float *src, float *dst, Shape shape, int block, const float *slopes, int slopeCount);
void pixelShuffleBlocked(const float *src, Shape in, float *dst, Shape out, int block, int factor, int mode);
void reorgBlocked(const float *src, Shape in, float *dst, Shape out, int block, int stride, int mode);

} // namespace brivelle::onednn
