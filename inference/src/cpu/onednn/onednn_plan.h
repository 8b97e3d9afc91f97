#pragma once

// A network compiled for one input shape and thread count into oneDNN primitives: convolutions carry
// their activations and residual sums as post-ops, blobs stay in one layout chosen for the running CPU
// from layer to layer, concatenations are views of one buffer that their producers write into (blocked
// and planar layouts), and layers without a oneDNN lowering run their reference layer in between. A plan
// owns no memory of a run: blobs and oneDNN's scratchpads come from the caller's pool, so runs of one
// plan may overlap on several threads.

#include "buffer_pool.h"
#include "graph.h"
#include "plan_types.h"

#include <ncnn/errors.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace brivelle::onednn {

class WeightStore;

class Plan {
public:
    ~Plan();
    Plan(const Plan &) = delete;
    Plan &operator=(const Plan &) = delete;

    // Whether the graph's structure suits a plan (every layer but Input and Split has one output, blob
    // indices in range): 0, or ncnn::ERROR_UNSUPPORTED_LAYER with the reason in `why`. Layers oneDNN has no
    // form for are no obstacle: their reference layers run inside the plan.
    static int check(const ncnn::Graph &graph, std::string &why);

    // Compiles `graph` (loaded layers that outlive the plan) for the given input shapes so that it yields
    // `outputs`. 0, or a code of <ncnn/errors.h> with the reason in `why` when the graph or a shape cannot
    // run on this path.
    static int compile(const ncnn::Graph &graph, const std::vector<std::pair<int, Shape>> &inputs,
                       const std::vector<int> &outputs, const PlanOptions &options,
                       std::unique_ptr<Plan> &plan, std::string &why, WeightStore *weights = nullptr);

    Shape shapeOf(int blob) const;
    // Multiply-accumulates of all convolutions in one run.
    double convolutionMacs() const;
    // Steps that run after fusion, and how many layers were folded into convolutions.
    int stepCount() const;
    int fusedLayerCount() const;
    int inPlaceConcatCount() const;
    // Blob bytes alive at once at the worst step of a run, as the schedule dictates (light mode frees
    // after last use; otherwise everything stays until the end).
    size_t peakBlobBytes() const;

    Layout layout() const;
    // The largest scratchpad one step asks for: oneDNN's kernels take theirs from the run's pool.
    size_t scratchpadBytes() const;
    // oneDNN's implementation name of each convolution, in schedule order.
    std::vector<std::string> convolutionKernels() const;
    // How each blob of the graph is stored inside the plan (Fp32 for those it does not hold).
    ncnn::Storage storageOf(int blob) const;
    // Steps that convert a blob between fp32 and bf16.
    int conversionCount() const;

    // Runs the network. Outputs must be allocated with the shapes of shapeOf(). Returns 0 or a code of
    // <ncnn/errors.h> (ERROR_OUT_OF_MEMORY, ERROR_CANCELLED, ERROR_FAILED), with the reason in `why`.
    // Every byte, scratchpads included, comes from `pool`. Runs of one plan may overlap on several threads.
    int run(const std::vector<std::pair<int, TensorView>> &inputs,
            const std::vector<std::pair<int, TensorView>> &outputs, BufferPool &pool, std::string &why,
            StepTimes *times = nullptr, const std::atomic<bool> *stop = nullptr,
            const std::function<void(int, int)> *progress = nullptr);

    // Outputs allocated by `allocate` (blob, shape) only when they are written, after the blobs that
    // are no longer needed went back: the caller's memory then follows the live set too. A view without
    // data means out of memory.
    using OutputAllocator = std::function<TensorView(int blob, Shape shape)>;
    int run(const std::vector<std::pair<int, TensorView>> &inputs, const OutputAllocator &allocate,
            BufferPool &pool, std::string &why, StepTimes *times = nullptr,
            const std::atomic<bool> *stop = nullptr, const std::function<void(int, int)> *progress = nullptr);

    struct Impl;

private:
    explicit Plan(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

} // namespace brivelle::onednn
