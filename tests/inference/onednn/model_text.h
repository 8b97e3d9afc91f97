#pragma once

// Writes a FastGraph as an ncnn .param text and .bin weights, so that the same small network can be
// loaded by the runtime and run on every backend.

#include "cpu/onednn/fast_graph.h"

#include <string>
#include <vector>

namespace brivelle::onednn::testing {

struct ModelFiles {
    std::string param;
    std::vector<unsigned char> bin;
};

ModelFiles writeModel(const FastGraph &graph);

inline std::string blobName(int blob)
{
    return "b" + std::to_string(blob);
}

} // namespace brivelle::onednn::testing
