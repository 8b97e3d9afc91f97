#pragma once

// The vocabulary of the oneDNN path that its plans, lowerings and kernels share: blob shapes, views of the
// caller's planar data, the layouts a plan may choose and the options it is compiled with.

#include "storage.h"

#include <cstddef>

namespace brivelle::onednn {

struct Shape {
    int c = 0;
    int h = 0;
    int w = 0;
    bool operator==(const Shape &o) const { return c == o.c && h == o.h && w == o.w; }
};

// Planar float data of one blob; channel q starts at data + q * cstep.
struct TensorView {
    float *data = nullptr;
    Shape shape;
    size_t cstep = 0;
};

// How a plan lays out its blobs in memory. Auto is the layout oneDNN's convolutions prefer on the
// running CPU (channels-last for brgconv on AVX-512, nChw8c on AVX2 and SSE4.1).
enum class Layout { Auto, Plain, Nhwc, Blocked8, Blocked16 };

struct PlanOptions {
    int numThreads = 1;
    // Free each blob after its last consumer.
    bool lightMode = true;
    bool tryWinograd = false;
    Layout layout = Layout::Auto;
    // A 3x3 convolution on gemm or the reference kernel while a jit kernel exists in another layout is
    // an error, unless this is set (tests that force the plain layout on purpose).
    bool allowSlowConvolutions = false;
    // Bf16: convolutions multiply bf16 blobs and weights and sum in fp32, and the blobs between layers
    // that take bf16 are stored so (converted in steps of their own where a neighbour runs fp32).
    ncnn::Storage precision = ncnn::Storage::Fp32;
};

// Seconds spent per kind of step in one run, for the benchmark.
struct StepTimes {
    double convolution = 0.0;
    double other = 0.0;
};

// Channels of a blob rounded up to the layout's block: the padded channels hold zeros.
int paddedChannels(Layout layout, int channels);
// The block of the channel index of a tensor of `channels` channels: 1 planar, `channels` for
// channels-last (one block holding every channel), 8 or 16 for the blocked layouts. Element (c, y, x)
// lives at ((c / block) * h * w + y * w + x) * block + c % block in every layout.
int channelBlock(Layout layout, int channels);

// The layout that oneDNN's convolutions prefer on this machine. BRIVELLE_ONEDNN_LAYOUT (plain, nhwc,
// nchw8c, nchw16c) overrides it for tests that reproduce another machine's path.
Layout preferredLayout();
// The channel-blocked layout with a jit direct kernel on this machine (nChw16c on AVX-512, nChw8c on AVX2
// and SSE4.1), or Plain when there is none.
Layout blockedLayout();
// Whether a layout was forced through BRIVELLE_ONEDNN_LAYOUT.
bool layoutForced();
const char *layoutName(Layout layout);

} // namespace brivelle::onednn
