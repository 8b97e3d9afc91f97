#pragma once

// The oneDNN backend's compiled plans of one graph, in the runtime's plan cache keyed by input shapes,
// outputs and the options a plan is compiled with: a batch of equal tiles compiles once, a new tile shape
// once more. With them the memory they share: the pool runs take blobs from, and the reordered weights.
// Thread-safe; a plan in use stays alive after its eviction.

#include "buffer_pool.h"
#include "onednn_plan.h"
#include "plan_weights.h"
#include "planner.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brivelle::onednn {

class PlanCache {
public:
    // The graph's loaded layers must outlive the cache and its plans.
    explicit PlanCache(const ncnn::Graph &graph, size_t capacity = 4) : graph_(graph), plans_(capacity) {}

    // The plan for these shapes and options, compiled when none is cached: 0, or Plan::compile's code with
    // the reason in `why`.
    int get(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
            const PlanOptions &options, std::shared_ptr<Plan> &plan, std::string &why);

    const ncnn::Graph &graph() const { return graph_; }
    BufferPool &pool() { return pool_; }
    size_t size() const { return plans_.size(); }
    int compilations() const { return plans_.made(); }
    // Reordered weights held for all cached shapes.
    size_t weightBytes() const { return weights_.bytes(); }

private:
    const ncnn::Graph &graph_;
    ncnn::PlanCache<Plan> plans_;
    BufferPool pool_;
    WeightStore weights_;
};

} // namespace brivelle::onednn
