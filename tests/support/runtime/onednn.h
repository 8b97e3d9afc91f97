#pragma once

// Small networks for the oneDNN tests: written as .param text and weights, loaded, and run on the reference
// backend as the oracle for the oneDNN plan.

#include "support/runtime/compare.h"
#include "support/runtime/models.h"
#include "support/runtime/random.h"

#include "backend.h"
#include "cpu/onednn/bench/sample_graphs.h"
#include "cpu/onednn/onednn_plan.h"
#include "graph.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rtest {

using Inputs = std::vector<std::pair<int, ncnn::Mat>>;

inline std::shared_ptr<ncnn::Graph> load(const std::string &param, const std::vector<unsigned char> &bin)
{
    auto graph = std::make_shared<ncnn::Graph>();
    std::string why;
    if (brivelle::onednn::loadGraph(param, bin, *graph, why) != 0) {
        ADD_FAILURE() << why << "\n" << param;
        return nullptr;
    }
    return graph;
}

inline std::shared_ptr<ncnn::Graph> load(const ModelWriter &m)
{
    return load(m.param(), m.bin());
}

inline ncnn::Mat randomMat(brivelle::onednn::Shape s, unsigned seed)
{
    return randomMat(s.w, s.h, s.c, seed);
}

inline brivelle::onednn::Shape shapeOf(const ncnn::Mat &m)
{
    return brivelle::onednn::Shape{m.c, m.h, m.w};
}

inline brivelle::onednn::TensorView viewOf(const ncnn::Mat &m)
{
    return brivelle::onednn::TensorView{static_cast<float *>(m.data), shapeOf(m), m.cstep};
}

inline ncnn::Option options(int threads, bool light = true)
{
    ncnn::Option opt;
    opt.num_threads = threads;
    opt.lightmode = light;
    return opt;
}

// Blob `output` of the graph for these inputs, run by `plan` (the reference backend's when null).
inline ncnn::Mat runBackend(const ncnn::Graph &graph, const Inputs &inputs, int output,
                            const ncnn::Option &opt = options(2), ncnn::ExecutionPlan *plan = nullptr,
                            int *ret = nullptr, std::string *error = nullptr)
{
    std::string err;
    std::unique_ptr<ncnn::ExecutionPlan> reference;
    if (!plan) {
        reference = ncnn::reference_backend().compile(graph, opt, nullptr, err);
        EXPECT_TRUE(reference) << err;
        if (!reference)
            return {};
        plan = reference.get();
    }
    std::vector<ncnn::Mat> blobs(graph.blobs.size());
    for (const auto &in : inputs)
        blobs[size_t(in.first)] = in.second;
    const int r = plan->run(blobs, output, opt, err);
    if (ret)
        *ret = r;
    else
        EXPECT_EQ(r, 0) << err;
    if (error)
        *error = err;
    return blobs[size_t(output)];
}

} // namespace rtest
