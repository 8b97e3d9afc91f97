#pragma once

// A direct-loop evaluator of FastGraph on planar tensors: the oracle for the oneDNN plan until the
// reference layers are reached through ncnn::Net, and for patterns the loader does not produce.

#include "cpu/onednn/fast_graph.h"
#include "cpu/onednn/onednn_plan.h"

#include <map>
#include <vector>

namespace brivelle::onednn::testing {

struct Planar {
    Shape shape;
    std::vector<float> data; // c * h * w, densely packed
    float at(int c, int y, int x) const { return data[(static_cast<size_t>(c) * shape.h + y) * shape.w + x]; }
};

// Every blob of the graph, by index.
std::map<int, Planar> evaluateNaive(const FastGraph &graph, const std::map<int, Planar> &inputs);

// max |a - b| / max(|b|, 1e-3): the error normalised by the reference's largest magnitude.
double normalisedError(const std::vector<float> &a, const std::vector<float> &b);

Planar randomPlanar(Shape shape, unsigned seed, float scale = 1.f);
std::vector<float> randomVector(size_t n, unsigned seed, float scale);

} // namespace brivelle::onednn::testing
