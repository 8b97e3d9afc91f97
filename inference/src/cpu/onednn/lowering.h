#pragma once

// What one operator contributes to a oneDNN plan: how it reads its reference layer, its checks, its shape
// rule, how it folds into the convolution before it, and the steps it lowers to. Each operator keeps these in
// layers/<operator>_onednn.cpp; the build lists those files in one table.

#include "buffer_pool.h"
#include "fast_graph.h"
#include "layer.h"
#include "onednn_plan.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brivelle::onednn {

class WinogradWeights;

dnnl::engine &cpuEngine();

// Channels of a blob rounded up to the layout's block: the padded channels hold zeros.
int paddedChannels(Layout layout, int channels);
// The block of the channel index of a tensor of `channels` channels: 1 planar, `channels` for
// channels-last (one block holding every channel), 8 or 16 for the blocked layouts. Element (c, y, x)
// lives at ((c / block) * h * w + y * w + x) * block + c % block in every layout.
int channelBlock(Layout layout, int channels);
dnnl::memory::desc layoutDesc(Shape shape, Layout layout);

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

// One step of the schedule before primitives exist: a layer, or a convolution with the layers folded in.
struct Node {
    int op = -1;
    OpType type = OpType::Noop;
    std::vector<int> in;
    int out = -1;
    std::vector<PostOp> post;
    bool view = false; // a concat whose inputs were written into its buffer
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
    std::string *error = nullptr;
};
// A whole-blob loop over the pointers of the step's bindings, in order. Returns 0 or a code of
// <ncnn/errors.h>, with the reason in context.error.
using CustomFn = std::function<int(const std::vector<float *> &, RunContext &)>;

// The plan being compiled, as a lowering sees it.
class LoweringContext {
public:
    virtual ~LoweringContext() = default;
    virtual const FastOp &op(int index) const = 0;
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
    // Convolution weights reordered into `layout` once and shared by the plans of one graph.
    virtual dnnl::memory packedWeights(int opIndex, int inChannels, const dnnl::memory::desc &layout) = 0;
    // A convolution's weights in Winograd's domain for `lanes`, computed once and shared the same way.
    virtual std::shared_ptr<const WinogradWeights> winogradWeights(int opIndex, int inChannels,
                                                                   int lanes) = 0;

    Binding bind(int arg, int blob) const { return Binding{arg, blob, -1, false, desc(blob)}; }
};

struct OpLowering {
    // Why the operator's parameters cannot run on this path, or empty.
    std::string (*check)(const FastOp &op) = nullptr;
    // The output shape for the input shapes, or the reason it cannot be computed here; `macs` grows by
    // the multiply-accumulates of the operator.
    std::string (*shape)(const FastOp &op, const std::vector<Shape> &in, Shape &out, double &macs) = nullptr;
    // The post-ops that fold the operator into the convolution whose output is its input number
    // `position`; `other` is the second operand's blob (-1 for one input). Empty when it cannot fold.
    std::vector<PostOp> (*fuse)(const FastOp &op, int position, int other) = nullptr;
    // Appends the operator's steps; returns the reason when it cannot.
    std::string (*lower)(LoweringContext &ctx, const Node &node) = nullptr;
};

// How a layer type enters the oneDNN graph: layers/<type>_onednn.cpp defines `<type>_onednn`, and the build
// lists every file of that name in one table (sources.cmake), so a new operator edits nothing here.
struct OnednnOperator {
    const char *type;
    // Fills op's kind and parameters from the reference layer's typed fields, its weights too unless only
    // shapes are wanted. 0, or ncnn::ERROR_BAD_MODEL with the reason when the loaded weights cannot be read.
    // Parameters oneDNN cannot take leave op on the reference layer (OpType::Reference).
    int (*describe)(const ncnn::Layer &layer, bool withWeights, FastOp &op, std::string &why);
};
// The entry of a layer type; null when oneDNN has none (the layer then runs on its reference).
const OnednnOperator *findOnednnOperator(const std::string &type);
// A loaded one-dimensional fp32 parameter array; empty when it is stored otherwise.
std::vector<float> floatsOf(const ncnn::Mat &m);

// The lowering of an operator type; every type has one.
const OpLowering &loweringOf(OpType type);

// Runs the node's loaded layer on the reference path between its neighbours, converting from and to the
// plan's layout at its edges; for operators, or shapes of them, that oneDNN cannot take.
std::string lowerOnReference(LoweringContext &ctx, const Node &node);

// The post-ops of a convolution's own fused activation.
std::vector<PostOp> convolutionActivationPostOps(const Activation &activation);

} // namespace brivelle::onednn
