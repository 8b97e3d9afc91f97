#pragma once

#include "layer.h"

#include <memory>
#include <string>
#include <vector>

namespace ncnn {

// One blob: a named tensor produced by exactly one layer and read by any number.
struct GraphBlob {
    std::string name;
    int producer = -1;
    std::vector<int> consumers;
    // Shape written by the Input layer's parameters (0 when unknown); only a hint.
    int w = 0, h = 0, c = 0;
};

// The loaded network as plain data, in file order: layer i may read only blobs produced by layers
// before it. A backend compiles from this; the layers carry their parameters and weights.
struct Graph {
    std::vector<std::unique_ptr<Layer>> layers;
    std::vector<GraphBlob> blobs;

    static constexpr int kNoBlob = -1;
    // The blob's index, or kNoBlob.
    int find_blob(const std::string &name) const;
    bool empty() const { return layers.empty(); }
    void clear();
    // Multiply-accumulates of one forward pass for a 3-channel w x h input (0 for unknown layers); used by
    // the benchmark.
    double macs_for_input(int w, int h, int c) const;
};

// Parses .param text into graph (layers created, parameters loaded, weights not yet). 0, or ERROR_BAD_MODEL
// (ERROR_UNSUPPORTED_LAYER for a layer type this runtime lacks) with graph left empty and err set to
// "line N: ..." naming the key and the sizes.
int parse_param(const char *text, size_t size, Graph &graph, std::string &err);
// Reads the weights of every layer in file order: 0, or ERROR_BAD_MODEL. Bytes after the last array are
// ignored.
int load_weights(const unsigned char *data, size_t size, Graph &graph, std::string &err);
// The same from a reader that may record the arrays or mix them with another network's.
int load_weights(const ModelBin &mb, Graph &graph, std::string &err);
// 0 when both graphs have the same layer types in the same order with the same blob counts; otherwise
// ERROR_BAD_MODEL with err naming the first layer that differs.
int first_layer_difference(const Graph &first, const Graph &second, std::string &err);

} // namespace ncnn
