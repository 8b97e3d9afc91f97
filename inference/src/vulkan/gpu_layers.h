#pragma once

// The GPU forms of the layers: each records its dispatches on a Stream. Blobs on the device are fp32 in
// groups of four channels: each pixel of a group is one vec4, groups one after another (a
// [ceil(c / 4)][h][w][4] volume), so that the kernels move four channels per load and store. The lanes
// past c in the last group are written as zero, though no kernel counts on it.
#include "command.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace ncnn {
class Convolution;
}

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

// Convolution with its epilogue: out = act(conv(in) + bias), then, with a residual r,
// out = out * residualA + r * residualB.
// Choices the layer's shape and the device's limits make for a convolution; tests force them.
struct ConvChoice {
    // A fixed block shape (0 best .. 2 most modest) and reduction depth (8 or 16).
    int forceTile = -1;
    int forceDepth = 0;
    // 3 x 3 stride-1 kernels: -1 chosen by the layer's shape, 0 direct, 2 Winograd F(2, 3), 4 F(4, 3).
    int winograd = -1;
    // Tiles per Winograd pass (0: as many as the scratch budget allows).
    int tilesPerPass = 0;
};

// A block shape of the convolution kernel: BM output channels by BN pixels per workgroup, BK of the
// reduction staged in shared memory at a time, TM x TN outputs per thread. The loaders need the thread
// count to be a multiple of BM, and a multiple or a divisor of BN.
struct ConvTile {
    int bm = 0, bn = 0, bk = 0, tm = 0, tn = 0;
    uint32_t threads() const { return uint32_t(bm / tm) * uint32_t(bn / tn); }
    size_t sharedBytes() const { return size_t(bk) * size_t(bm + bn) * sizeof(float); }
};

// What of a device the block shapes follow from.
struct DeviceShape {
    uint32_t subgroupSize = 0;
    uint32_t sharedBytes = 0;
    uint32_t maxInvocations = 0;
    uint32_t maxLocalX = 0;
};
DeviceShape device_shape(const ncnn::VulkanDevice &device);
// The block shape of a convolution with outch outputs on such a device, fixed when the pipeline is
// created. forced picks a candidate from the best (0) to the most modest (2), forcedDepth a BK;
// columns, when known, is the width of the product (pixels, or tiles of a Winograd pass).
ConvTile choose_conv_tile(const DeviceShape &d, int outch, int forced = -1, int forcedDepth = 0,
                          int columns = 0);

class Convolution {
public:
    // Uploads the loaded layer's weights in the kernel's order; the layer must outlive this object. 0 or a
    // code of <ncnn/errors.h>.
    int create(const ncnn::VulkanDevice &device, const ncnn::Convolution &layer,
               const ConvChoice &choice = {});
    // The output extent for an input extent; false when the kernel does not fit.
    bool outputShape(int inw, int inh, int &outw, int &outh, int &padl, int &padt) const;
    int forward(Stream &s, const Tensor &in, Tensor &out, const Tensor *residual = nullptr,
                float residualA = 1.f, float residualB = 1.f) const;
    int inputChannels() const { return inch_; }
    int outputChannels() const { return outch_; }
    // m of the Winograd F(m, 3) this convolution runs, 0 when it runs a direct kernel.
    int winograd() const { return winograd_; }
    // True when it runs the kernel for at most four outputs instead of the GEMM.
    bool narrow() const { return narrow_; }

    // Scratch space of one Winograd pass, per buffer.
    static constexpr size_t kScratchBytes = size_t(16) << 20;

private:
    int forwardWinograd(Stream &s, const Tensor &in, Tensor &out, int padl, int padt, const Tensor *residual,
                        float residualA, float residualB) const;

    int forwardNarrow(Stream &s, const Tensor &in, Tensor &out, int padl, int padt, const Tensor *residual,
                      float residualA, float residualB) const;
    void appendKernelConstants(std::vector<SpecConstant> &to) const;
    static void appendResidualConstants(std::vector<SpecConstant> &to, const Tensor *residual, float a,
                                        float b);

    const ncnn::Convolution *l_ = nullptr;
    int inch_ = 0, outch_ = 0;
    // The fused activation's two parameters (0 where it has fewer).
    float actA_ = 0.f, actB_ = 0.f;
    ConvChoice choice_;
    int winograd_ = 0;
    bool narrow_ = false;
    // [tap][ic][oc], for Winograd [position][ic][oc], for the narrow kernel [tap][ic rounded up to
    // whole groups][4].
    BufferRef weights_;
    BufferRef bias_;
    const ncnn::VulkanDevice *device_ = nullptr;
};

// Binary operations; op codes as in binary.comp (0-11 BinaryOp, 20 PReLU, 21 weighted sum).
enum BinaryCode { kPReLU = 20, kWeightedSum = 21 };
// b may broadcast along any axis of extent 1; a b without a buffer means the scalar.
int binary(Stream &s, int op, const Tensor &a, const Tensor &b, float scalar, Tensor &out, float ca = 1.f,
           float cb = 1.f);

// out = f(in) element by element, f being the kernel `shader` with its specialization; a and b are f's
// parameters. For the activations: shader "activation" with spec_i(0) ReLU (slope a), 1 clip [a, b], 2
// sigmoid; a function of its own has a shader of its own with the same bindings and push constants.
int unary(Stream &s, const char *shader, const std::vector<SpecConstant> &specialization, const Tensor &in,
          Tensor &out, float a = 0.f, float b = 0.f);

// out(x, y, z) = in(x - left, y - top, z - front); mode 0 constant, 1 replicate, 2 reflect. Also crops.
int pad(Stream &s, const Tensor &in, Tensor &out, int left, int top, int front, int mode, float value);
// Copies in into out at (ox, oy, oz).
int place(Stream &s, const Tensor &in, Tensor &out, int ox, int oy, int oz);
// mode 1 nearest, 2 bilinear; scales are input size over output size (or its aligned-corner form).
int interp(Stream &s, const Tensor &in, Tensor &out, int mode, bool alignCorner, float scaleX, float scaleY);
// depthToSpace: PixelShuffle, else Reorg.
int shuffle(Stream &s, const Tensor &in, Tensor &out, bool depthToSpace, int mode, int r);

} // namespace brivelle::vk
