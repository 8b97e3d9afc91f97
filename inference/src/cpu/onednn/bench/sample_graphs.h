#pragma once

// Real-ESRGAN-shaped networks written as ncnn .param text and .bin weights with seeded values, laid out as
// the published models are (so fusion and in-place concatenation meet the same patterns), then loaded: for
// the benchmark and for tests that need no model files.

#include "graph.h"

#include <memory>
#include <string>
#include <vector>

namespace brivelle::onednn {

struct SampleGraph {
    std::string param;
    std::vector<unsigned char> bin;
    // Loaded from the two, pipelines created; shared so that copies of the sample stay cheap.
    std::shared_ptr<const ncnn::Graph> graph;
    int input = 0;  // blob "data"
    int output = 0; // blob "output"
};

// RRDBNet x4: `blocks` residual-in-residual dense blocks of `features` channels and `growth` growth.
SampleGraph makeRrdbNetGraph(int blocks, int features, int growth, unsigned seed);
// SRVGG (compact) x4: `convs` 3x3 convolutions with PReLU, then a pixel shuffle and a nearest-upscaled skip.
SampleGraph makeSrvggGraph(int convs, int features, unsigned seed);

// Parses `param`, reads `bin` and creates every layer's pipeline: 0, or a code of <ncnn/errors.h> with the
// reason in `why`.
int loadGraph(const std::string &param, const std::vector<unsigned char> &bin, ncnn::Graph &graph,
              std::string &why);

} // namespace brivelle::onednn
