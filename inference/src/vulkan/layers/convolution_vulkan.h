#pragma once

// The GPU convolution kernels (direct, narrow, Winograd), which other operators may run too.
#include "../tensor_dispatch.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ncnn {
class Convolution;
}

namespace brivelle::vk {

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

} // namespace brivelle::vk
