#pragma once

// Loops over blobs in any of the plan's layouts for the layers that oneDNN has no fast primitive for.
// Channel c of pixel (y, x) lives at ((c / block) * h * w + y * w + x) * block + c % block, where the
// block is 1 for planar blobs, the channel count for channels-last ones, 8 or 16 for the blocked layouts
// (see channelBlock()). Each call covers a whole blob; padded channels of the output are written as zeros.

#include "plan_types.h"

#include <cstddef>
#include <vector>

namespace brivelle::onednn {

void preluBlocked(const float *src, float *dst, Shape shape, Layout layout, const float *slopes,
                  int slopeCount);
void pixelShuffleBlocked(const float *src, Shape in, float *dst, Shape out, Layout layout, int factor,
                         int mode);
void reorgBlocked(const float *src, Shape in, float *dst, Shape out, Layout layout, int stride, int mode);
// Channels-last concatenation: `ptr` holds the inputs (with `channels` each) and then the output, all of
// elements of `elementBytes` (4 for fp32, 2 for bf16).
void concatChannelsLast(const std::vector<float *> &ptr, const std::vector<int> &channels, Shape out,
                        size_t elementBytes = sizeof(float));
// Between the layout and ncnn's planar one (channel q at q * cstep).
void toPlanar(const float *src, Layout layout, float *dst, Shape shape, size_t cstep);
void fromPlanar(const float *src, size_t cstep, float *dst, Layout layout, Shape shape);

} // namespace brivelle::onednn
