#pragma once

#include "graph.h"
#include "layer.h"

#include <ncnn/mat.h>
#include <ncnn/option.h>

#include <memory>
#include <string>
#include <vector>

namespace ncnn {

class VulkanDevice;

// True once the caller asked the running extract to stop (Option::stop_request).
inline bool stop_requested(const Option &opt)
{
    return opt.stop_request && opt.stop_request->load(std::memory_order_relaxed);
}

// Tells the caller how far the running extract is (Option::progress).
inline void report_progress(const Option &opt, int done, int total)
{
    if (opt.progress && *opt.progress)
        (*opt.progress)(done, total);
}

// A graph compiled for one backend. run() computes the wanted blob:
//  - blobs has one entry per graph blob; non-empty entries are known (inputs the caller set, or results
//    kept from an earlier run of the same extractor) and must not be written to;
//  - on success blobs[wanted] holds the result as fp32 or in the backend's own storage (elempack,
//    fp16); the extractor unpacks it;
//  - with opt.lightmode the plan releases each intermediate blob after its last consumer and may leave
//    any entry it filled empty, except blobs[wanted].
// A plan may keep state per input shape (primitives, buffers); it is used by one extractor at a time
// unless the backend documents otherwise, so plans guard their caches themselves.
// Returns 0, or a negative code with a message in err (naming the layer).
class ExecutionPlan {
public:
    virtual ~ExecutionPlan();
    virtual int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) = 0;
};

// What every plan's run() does first: 0 to go on; 1 when the wanted blob is known already, so that there
// is nothing to run; ERROR_FAILED for a wanted blob the graph does not have, ERROR_CANCELLED when the
// caller asked to stop.
int begin_run(const Graph &graph, const std::vector<Mat> &blobs, int wanted, const Option &opt,
              std::string &err);

// A way of running a graph. Backends are tried in priority order; the first that is available and runs
// some of the graph's work itself compiles the plan (runs_graph). The reference backend runs every layer
// and is always last.
class Backend {
public:
    virtual ~Backend();
    virtual const char *name() const = 0;
    // Higher runs first: vulkan 300, onednn 200, reference 0.
    virtual int priority() const = 0;
    // Whether the backend can run here at all with these options (the GPU's: a live device). Default: yes.
    virtual bool available(const Option &opt, const VulkanDevice *vkdev) const;
    // The one capability question: whether the backend runs the layer itself, with its parameters, for these
    // input shapes, which give `out` by the layer's own rule (dims 0 where a shape is unknown); `in` empty
    // asks about the parameters alone. When not, `why` says why, and the layer's reference runs between its
    // neighbours inside the backend's plan.
    virtual bool supports(const Layer &layer, const std::vector<Shape> &in, const Shape &out,
                          std::string &why) const = 0;
    virtual std::unique_ptr<ExecutionPlan> compile(const Graph &graph, const Option &opt,
                                                   const VulkanDevice *vkdev, std::string &err) const = 0;
};

// A fast path joins by defining BRIVELLE_ONEDNN_BACKEND or BRIVELLE_VULKAN_BACKEND on brivelle_inference
// in its sources.cmake and implementing `const Backend &onednn_backend()` / `const Backend &vulkan_backend()`
// in namespace ncnn; backend.cpp is the one place that lists them (static registration objects would be
// dropped by the linker from a static library).
// Every backend built into this library, highest priority first.
const std::vector<const Backend *> &backends();
// The backend of a given name ("reference", "onednn", "vulkan"), or null.
const Backend *find_backend(const std::string &name);
// Whether the backend is available and runs some of the graph's work itself (inputs and aliases are none).
bool runs_graph(const Backend &backend, const Graph &graph, const Option &opt, const VulkanDevice *vkdev);
// The first backend that runs the graph with these options, falling back to the reference one.
const Backend *choose_backend(const Graph &graph, const Option &opt, const VulkanDevice *vkdev);

// The plain C++ executor every fast path is checked against.
const Backend &reference_backend();
#ifdef BRIVELLE_ONEDNN_BACKEND
const Backend &onednn_backend();
#endif
#ifdef BRIVELLE_VULKAN_BACKEND
const Backend &vulkan_backend();
#endif

// Runs one reference layer on host blobs: in place when the layer can and nobody else holds its input
// (a split sibling, the caller's input; those are copied first), else through its forward. Consumes
// `bottoms`. Returns the layer's code (ERROR_OUT_OF_MEMORY included).
int forward_on_host(const Layer &layer, std::vector<Mat> &bottoms, std::vector<Mat> &tops, const Option &opt);

} // namespace ncnn
