#pragma once

// What every GPU kernel shares: blobs on the device as tensors, and the one dispatch over a volume that
// checks the device's limits. Each kernel is declared with its operator, in layers/<operator>_vulkan.h.
// Blobs on the device are fp32 in groups of four channels: each pixel of a group is one vec4, groups one
// after another (a [ceil(c / 4)][h][w][4] volume), so that the kernels move four channels per load and
// store. The lanes past c in the last group are written as zero, though no kernel counts on it.
#include "command.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace brivelle::vk {

struct Tensor {
    BufferRef buf;
    int w = 0;
    int h = 0;
    int c = 0;
    // The first float in buf: non-zero for a blob that lives inside a larger one (a concatenation
    // written in place), and then a whole number of channel groups. Only Convolution writes such blobs;
    // every kernel reads from float 0.
    size_t offset = 0;
    int groups() const { return (c + 3) / 4; }
    // Floats stored, the padding lanes of the last group included.
    size_t count() const { return size_t(w) * h * 4 * size_t(groups()); }
    size_t bytes() const { return count() * sizeof(float); }
    bool empty() const { return !buf; }
};

// A device buffer of t's shape; false when the device is out of memory.
bool allocate(Stream &s, Tensor &t, int w, int h, int c);

// Between the host's planes (channel q at plain + q * cstep) and the device's channel groups.
void pack(const float *plain, size_t cstep, int w, int h, int c, float *packed);
void unpack(const float *packed, int w, int h, int c, float *plain, size_t cstep);
// Uploads planes into t, grouping their channels on the way.
int upload_planes(Stream &s, const float *plain, size_t cstep, const Tensor &t);

// One invocation per element of a w x h x c volume (c counts channel groups for the kernels that take
// four channels at a time). 128 invocations is the least every device allows;
// 32 wide keeps rows coalesced.
inline constexpr uint32_t kVolumeLocal[3] = {32, 4, 1};
int dispatch_volume(Stream &s, const char *shader, std::initializer_list<BufferRef> buffers, const void *push,
                    uint32_t pushBytes, const std::vector<SpecConstant> &specialization, int w, int h, int c);

} // namespace brivelle::vk
