#pragma once

#include "graph.h"
#include "planner.h"

namespace brivelle::onednn {

// tools/bench --details: runs a loaded graph ("data" -> "output") through the oneDNN path once to
// compile and `runs` more times, and prints whole-network GFLOP/s against its convolutions alone and
// against the FMA peak probe, the first run apart from the steady state, and peak memory. Returns the
// process exit code.
int printOnednnDetails(const ncnn::Graph &graph, int w, int h, int threads, int runs, bool winograd = true,
                       ncnn::Storage precision = ncnn::Storage::Fp32);

} // namespace brivelle::onednn
