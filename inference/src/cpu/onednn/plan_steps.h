#pragma once

// What a compiled plan is made of, shared by the compiler that builds it and the executor that runs it:
// the blobs' places in their root buffers, the steps in order, and when each root is needed.

#include "lowering.h"
#include "onednn_plan.h"

#include <omp.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace brivelle::onednn {

// oneDNN reads the OpenMP thread count both when it creates a primitive and when it runs one.
class ThreadScope {
public:
    explicit ThreadScope(int threads) : saved_(omp_get_max_threads())
    {
        if (threads > 0)
            omp_set_num_threads(threads);
    }
    ~ThreadScope() { omp_set_num_threads(saved_); }
    ThreadScope(const ThreadScope &) = delete;
    ThreadScope &operator=(const ThreadScope &) = delete;

private:
    int saved_;
};

// Where a blob lives: a channel offset (a multiple of the block) inside a root buffer, which a concat's
// parts share.
struct Place {
    int root = -1;
    int offset = 0;
};

struct Step {
    dnnl::primitive primitive;
    CustomFn custom;
    std::vector<Binding> bindings;
    std::vector<std::pair<int, dnnl::memory>> constants;
    // Non-empty for a convolution: oneDNN's implementation name.
    std::string kernel;
    // Every primitive runs with a scratchpad of the caller's memory (scratchpad_mode::user).
    dnnl::memory::desc scratchpad;
    size_t scratchpadBytes = 0;
    // Roots first used here, and roots that go back once it ran (the plan's release points). A binding of
    // the caller's tensor makes the step a reorder at the network's edge, built per channel step on first
    // use.
    std::vector<int> acquire;
    std::vector<int> release;
};

// The scratchpad a primitive asks for, with its descriptor in md.
inline size_t scratchpadBytesOf(const dnnl::primitive &primitive, dnnl::memory::desc &md)
{
    const dnnl_memory_desc_t *c =
        dnnl_primitive_desc_query_md(primitive.get_primitive_desc(), dnnl_query_scratchpad_md, 0);
    if (!c)
        return 0;
    md = dnnl::memory::desc(*c);
    return md.get_size();
}

struct Plan::Impl {
    PlanOptions options;
    Layout layout = Layout::Plain;
    std::vector<Shape> shapes; // per blob, temporaries appended
    std::vector<dnnl::memory::desc> descs;
    std::vector<int> canon;
    std::vector<Place> places;
    std::vector<size_t> rootBytes;
    std::vector<Step> steps;
    // Per graph blob, as the planner decided; steps that convert between fp32 and bf16.
    std::vector<ncnn::Storage> storage;
    int conversions = 0;
    double macs = 0.0;
    int fused = 0;
    int inPlaceConcats = 0;
    // Edge reorders by (step, caller's channel step); runs on several threads share them.
    std::mutex edgeMutex;
    std::map<std::pair<size_t, size_t>, dnnl::reorder> edges;

    float *pointerOf(int blob, const std::vector<float *> &roots) const
    {
        const Place &p = places[size_t(blob)];
        const Shape &s = shapes[size_t(blob)];
        const size_t bytes = dnnl::memory::data_type_size(descs[size_t(blob)].data_type());
        return reinterpret_cast<float *>(reinterpret_cast<char *>(roots[size_t(p.root)]) +
                                         static_cast<size_t>(p.offset) * s.h * s.w * bytes);
    }

    dnnl::reorder edgeReorder(size_t step, const dnnl::memory::desc &from, const dnnl::memory::desc &to,
                              size_t cstep)
    {
        std::lock_guard<std::mutex> lock(edgeMutex);
        auto it = edges.find({step, cstep});
        if (it != edges.end())
            return it->second;
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        const dnnl::reorder r(dnnl::reorder::primitive_desc(cpuEngine(), from, cpuEngine(), to, attr));
        edges.emplace(std::make_pair(step, cstep), r);
        return r;
    }
};

} // namespace brivelle::onednn
