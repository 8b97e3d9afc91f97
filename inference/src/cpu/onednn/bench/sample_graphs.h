#pragma once

// Real-ESRGAN-shaped graphs built directly as FastGraph with seeded weights, laid out as the published
// ncnn models are (so fusion and in-place concatenation meet the same patterns), for the benchmark
// and for tests that need no model files.

#include "cpu/onednn/fast_graph.h"

namespace brivelle::onednn {

struct SampleGraph {
    FastGraph graph;
    int input = 0;
    int output = 0;
};

// RRDBNet x4: `blocks` residual-in-residual dense blocks of `features` channels and `growth` growth.
SampleGraph makeRrdbNetGraph(int blocks, int features, int growth, unsigned seed);
// SRVGG (compact) x4: `convs` 3x3 convolutions with PReLU, then a pixel shuffle and a nearest-upscaled skip.
SampleGraph makeSrvggGraph(int convs, int features, unsigned seed);

} // namespace brivelle::onednn
