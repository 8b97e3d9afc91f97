#pragma once

// Compiled plans of one graph keyed by input shapes, threads and outputs: a batch of equal tiles
// compiles once, a new tile shape once more, and the least recently used plan goes beyond `capacity`.
// Thread-safe; a plan in use stays alive after its eviction.

#include "buffer_pool.h"
#include "onednn_plan.h"
#include "plan_weights.h"

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace brivelle::onednn {

class PlanCache {
public:
    // The graph's loaded layers must outlive the cache and its plans.
    explicit PlanCache(const ncnn::Graph &graph, size_t capacity = 4);

    // The plan for these shapes and options, compiled when none is cached: 0, or Plan::compile's code with
    // the reason in `why`.
    int get(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
            const PlanOptions &options, std::shared_ptr<Plan> &plan, std::string &why);

    const ncnn::Graph &graph() const { return graph_; }
    BufferPool &pool() { return pool_; }
    size_t size() const;
    int compilations() const;
    // Reordered weights held for all cached shapes.
    size_t weightBytes() const { return weights_.bytes(); }

private:
    struct Entry {
        std::vector<std::pair<int, Shape>> inputs;
        std::vector<int> outputs;
        int threads = 0;
        bool lightMode = false;
        bool winograd = false;
        ncnn::Storage precision = ncnn::Storage::Fp32;
        std::shared_ptr<Plan> plan;
    };

    const ncnn::Graph &graph_;
    size_t capacity_;
    mutable std::mutex mutex_;
    std::list<Entry> entries_; // most recently used first
    int compilations_ = 0;
    BufferPool pool_;
    WeightStore weights_;
};

} // namespace brivelle::onednn
