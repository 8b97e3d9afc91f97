#pragma once

#include "cpu/onednn/fast_graph.h"
#include "graph.h"

#include <string>

namespace brivelle::onednn {

// The loaded graph as the oneDNN path sees it, weights included; false with the reason when a layer
// has no oneDNN path.
bool translateGraph(const ncnn::Graph &graph, FastGraph &out, std::string &why);

} // namespace brivelle::onednn
