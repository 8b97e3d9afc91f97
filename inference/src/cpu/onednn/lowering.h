#pragma once

// What one operator contributes to a oneDNN plan: how it reads its reference layer, its checks, how it folds
// into the convolution before it, and the steps it lowers to. Each operator keeps these in
// layers/<operator>_onednn.cpp; the build lists those files in one table.

#include "buffer_pool.h"
#include "layer.h"
#include "plan_types.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brivelle::onednn {

class WinogradWeights;

dnnl::engine &cpuEngine();

dnnl::memory::desc layoutDesc(Shape shape, Layout layout,
                              dnnl::memory::data_type type = dnnl::memory::data_type::f32);
// The same memory with elements of another type (strides count elements, so they stay).
dnnl::memory::desc withType(const dnnl::memory::desc &md, dnnl::memory::data_type type);
// oneDNN's type of a plan's storage.
dnnl::memory::data_type dataTypeOf(ncnn::Storage storage);

struct PostOp {
    bool binary = false;
    dnnl::algorithm alg = dnnl::algorithm::undef;
    float alpha = 0.f;
    float beta = 0.f;
    int blob = -1; // the second operand of a binary post-op
};

inline PostOp eltwisePostOp(dnnl::algorithm alg, float alpha, float beta)
{
    return PostOp{false, alg, alpha, beta, -1};
}
inline PostOp binaryPostOp(dnnl::algorithm alg, int blob)
{
    return PostOp{true, alg, 0.f, 0.f, blob};
}

struct OnednnOperator;

// One step of the schedule before primitives exist: a layer, or a convolution with the layers folded in.
struct Node {
    int op = -1; // the layer's index in the graph
    const ncnn::Layer *layer = nullptr;
    // The layer's oneDNN form; null when its reference layer runs between its neighbours.
    const OnednnOperator *form = nullptr;
    std::vector<int> in;
    int out = -1;
    std::vector<PostOp> post;
    bool view = false;  // a concat whose inputs were written into its buffer
    bool input = false; // a blob the caller gives, brought into the plan's layout
};

// A memory argument of a step, resolved to a pointer at run time.
struct Binding {
    int arg = 0;
    int blob = -1;     // internal blob, or
    int external = -1; // index into the run's inputs (isOutput false) or outputs
    bool isOutput = false;
    dnnl::memory::desc md;
};

// What a custom step may use while it runs: the run's memory and threads.
struct RunContext {
    BufferPool &pool;
    int threads = 1;
    std::string &why;
};
// A whole-blob loop over the pointers of the step's bindings, in order. Returns 0 or a code of
// <ncnn/errors.h>, with the reason in context.why.
using CustomFn = std::function<int(const std::vector<float *> &, RunContext &)>;

// The plan being compiled, as a lowering sees it.
class LoweringContext {
public:
    virtual ~LoweringContext() = default;
    virtual const ncnn::Layer &op(int index) const = 0;
    virtual const Shape &shape(int blob) const = 0;
    virtual const dnnl::memory::desc &desc(int blob) const = 0;
    virtual Layout layout() const = 0;
    virtual const PlanOptions &options() const = 0;
    // Attributes every primitive starts from: the scratchpad is the caller's, handed over per run.
    virtual dnnl::primitive_attr attributes() const = 0;
    // `kernel` names a convolution's implementation (timed and reported apart); empty for other steps.
    virtual void primitiveStep(const dnnl::primitive &primitive, std::vector<Binding> bindings,
                               std::vector<std::pair<int, dnnl::memory>> constants = {},
                               const std::string &kernel = {}) = 0;
    // A non-empty `kernel` makes the step a convolution for timing and reports, as for primitiveStep.
    virtual void customStep(std::vector<Binding> bindings, CustomFn fn, const std::string &kernel = {}) = 0;
    // A blob of the plan's own that no layer names, e.g. a convolution's input in another layout.
    virtual int temporaryBlob(const dnnl::memory::desc &md, Shape shape) = 0;
    virtual void reorderStep(int from, int to) = 0;
    // The loaded weights of layer `opIndex` (`plain` describes them) reordered into `layout` once and shared
    // by the plans of one graph.
    virtual dnnl::memory packedWeights(int opIndex, const float *weights, const dnnl::memory::desc &plain,
                                       const dnnl::memory::desc &layout) = 0;
    // A convolution's weights in Winograd's domain for `lanes`, computed once and shared the same way.
    virtual std::shared_ptr<const WinogradWeights> winogradWeights(int opIndex, const float *weights,
                                                                   const float *bias, int inChannels,
                                                                   int outChannels, int lanes) = 0;

    Binding bind(int arg, int blob) const { return Binding{arg, blob, -1, false, desc(blob)}; }
};

// How a layer type enters the oneDNN plan: layers/<type>_onednn.cpp defines `<type>_onednn`, and the build
// lists every file of that name in one table (sources.cmake), so a new operator edits nothing here. Every
// function reads the reference layer's typed fields and returns 0 or a code of <ncnn/errors.h> with the
// reason in `why`; a null function is a rule that always holds or a step the operator does not have.
struct OnednnOperator {
    const char *type;
    // Whether oneDNN takes the layer's parameters and, with `in` not empty, these input shapes, which give
    // `out` by the layer's own rule (ERROR_UNSUPPORTED_LAYER leaves the layer to its reference layer).
    int (*supports)(const ncnn::Layer &layer, const std::vector<Shape> &in, const Shape &out,
                    std::string &why);
    // The post-ops that fold the layer into the convolution whose output is its input number `position`;
    // `other` is the second operand's blob (-1 for one input). Empty when it cannot fold.
    std::vector<PostOp> (*fuse)(const ncnn::Layer &layer, int position, int other);
    // Appends the layer's steps.
    int (*lower)(LoweringContext &ctx, const Node &node, std::string &why);
    // A layer whose primitive takes post-ops: its own (a fused activation); the layers after it fold in.
    std::vector<PostOp> (*ownPostOps)(const ncnn::Layer &layer);
    // The storage its steps run on: whether a bf16 plan may keep the layer's blobs in bf16 for these input
    // shapes (its steps take them; null: never), and whether it takes inputs of either storage (a
    // convolution converts its source itself and writes either); a layer that does neither keeps fp32 on
    // all its blobs.
    bool (*takesBf16)(const ncnn::Layer &layer, const std::vector<Shape> &in, const PlanOptions &options);
    bool mixesStorage;
};

// The oneDNN backend's answer to Backend::supports: the layer's operator, asked about the layer's
// parameters (`in` empty) or about these 3-D shapes.
bool supportsLayer(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &in, const ncnn::Shape &out,
                   std::string &why);
// takesBf16 of a layer whose oneDNN primitives take bf16 whatever the shapes.
bool bf16Always(const ncnn::Layer &layer, const std::vector<Shape> &in, const PlanOptions &options);

// The entry of the layer's type when oneDNN takes its parameters; null when its reference layer runs.
const OnednnOperator *onednnFormOf(const ncnn::Layer &layer);

// A loaded one-dimensional fp32 parameter array (weights, bias, slopes) of `count` values; null otherwise.
const float *floatsOf(const ncnn::Mat &m, size_t count);

// Runs the node's loaded layer on the reference path between its neighbours, converting from and to the
// plan's layout at its edges; for operators, or shapes of them, that oneDNN cannot take.
int lowerOnReference(LoweringContext &ctx, const Node &node, std::string &why);

// The element-wise family (ReLU, Clip, Sigmoid, Swish, Dropout, ...): one oneDNN eltwise algorithm over
// one input, alone or folded into the convolution before it.
int oneInput(const ncnn::Layer &layer, const std::vector<Shape> &in, const Shape &out, std::string &why);
int lowerEltwise(LoweringContext &ctx, const Node &node, const PostOp &eltwise, std::string &why);

} // namespace brivelle::onednn
