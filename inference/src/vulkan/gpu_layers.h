#pragma once

// The GPU forms of the layers: each records its dispatches on a Stream. Blobs on the device are planar
// fp32 (w, h, c) with channels packed one after another (channel stride w * h).
#include "command.h"

#include <cstddef>
#include <vector>

namespace brivelle::vk {

struct Tensor {
    BufferRef buf;
    int w = 0;
    int h = 0;
    int c = 0;
    // The first element in buf: non-zero for a blob that lives inside a larger one (a concatenation
    // written in place). Only Convolution writes such blobs; every kernel reads from element 0.
    size_t offset = 0;
    size_t count() const { return size_t(w) * h * c; }
    size_t bytes() const { return count() * sizeof(float); }
    bool empty() const { return !buf; }
};

// A device buffer of t's shape; false when the device is out of memory.
bool allocate(Stream &s, Tensor &t, int w, int h, int c);

// Convolution with its epilogue: out = act(conv(in) + bias), then, with a residual r,
// out = out * residualA + r * residualB.
struct ConvParams {
    int outch = 0;
    int inch = 0;
    int kw = 1, kh = 1;
    int dx = 1, dy = 1;
    int sx = 1, sy = 1;
    // pad_left, right, top, bottom as ncnn stores them: -233 and -234 ask for SAME padding, the extra
    // pixel going after (-233) or before (-234).
    int padl = 0, padr = 0, padt = 0, padb = 0;
    float padValue = 0.f;
    int act = 0;
    float actA = 0.f, actB = 0.f;
    // Tests: a fixed block shape (0 best .. 2 most modest) instead of the best the device allows.
    int forceTile = -1;
};

class Convolution {
public:
    // weights in ncnn's order [outch][inch][kh][kw]; bias may be null. Uploads them; 0 or -1.
    int create(const ncnn::VulkanDevice &device, const ConvParams &params, const float *weights,
               const float *bias);
    // The output extent for an input extent; false when the kernel does not fit.
    bool outputShape(int inw, int inh, int &outw, int &outh, int &padl, int &padt) const;
    int forward(Stream &s, const Tensor &in, Tensor &out, const Tensor *residual = nullptr,
                float residualA = 1.f, float residualB = 1.f) const;
    const ConvParams &params() const { return p_; }

private:
    ConvParams p_;
    BufferRef weights_;
    BufferRef bias_;
    const ncnn::VulkanDevice *device_ = nullptr;
};

// Binary operations; op codes as in binary.comp (0-11 BinaryOp, 20 PReLU, 21 weighted sum).
enum BinaryCode { kPReLU = 20, kWeightedSum = 21 };
// b may broadcast along any axis of extent 1; a b without a buffer means the scalar.
int binary(Stream &s, int op, const Tensor &a, const Tensor &b, float scalar, Tensor &out, float ca = 1.f,
           float cb = 1.f);

// out(x, y, z) = in(x - left, y - top, z - front); mode 0 constant, 1 replicate, 2 reflect. Also crops.
int pad(Stream &s, const Tensor &in, Tensor &out, int left, int top, int front, int mode, float value);
// Copies in into out at (ox, oy, oz).
int place(Stream &s, const Tensor &in, Tensor &out, int ox, int oy, int oz);
// mode 1 nearest, 2 bilinear; scales are input size over output size (or its aligned-corner form).
int interp(Stream &s, const Tensor &in, Tensor &out, int mode, bool alignCorner, float scaleX, float scaleY);
// depthToSpace: PixelShuffle, else Reorg.
int shuffle(Stream &s, const Tensor &in, Tensor &out, bool depthToSpace, int mode, int r);

} // namespace brivelle::vk
