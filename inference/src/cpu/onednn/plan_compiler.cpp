// The oneDNN plan's compiler: the planner decides what runs, where and folded into what; this places the
// blobs in root buffers, has each operator lower its layer into steps, and marks when each root is needed.
#include "lowering.h"
#include "onednn_plan.h"
#include "plan_steps.h"
#include "plan_weights.h"
#include "planner.h"
#include "winograd_convolution.h"

#include <ncnn/cpu.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <functional>

namespace brivelle::onednn {

using dnnl::memory;

namespace {

// Builds the schedule: the graph plumbing (shapes, fusion, places, lifetimes) is here, what each operator
// becomes is its lowering's business.
class Compiler : public LoweringContext {
public:
    Compiler(const ncnn::Graph &graph, const PlanOptions &options, Plan::Impl &plan, WeightStore &weights)
        : g_(graph), options_(options), p_(plan), weights_(weights)
    {}

    int compile(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
                std::string &why);

    const ncnn::Layer &op(int index) const override { return *g_.layers[index]; }
    const Shape &shape(int blob) const override { return p_.shapes[blob]; }
    const memory::desc &desc(int blob) const override { return p_.descs[blob]; }
    Layout layout() const override { return p_.layout; }
    const PlanOptions &options() const override { return options_; }
    dnnl::primitive_attr attributes() const override
    {
        dnnl::primitive_attr attr;
        attr.set_scratchpad_mode(dnnl::scratchpad_mode::user);
        return attr;
    }
    void primitiveStep(const dnnl::primitive &primitive, std::vector<Binding> bindings,
                       std::vector<std::pair<int, memory>> constants, const std::string &kernel) override;
    void customStep(std::vector<Binding> bindings, CustomFn fn, const std::string &kernel) override;
    int temporaryBlob(const memory::desc &md, Shape shape) override;
    void reorderStep(int from, int to) override;
    memory packedWeights(int opIndex, const float *weights, const memory::desc &plain,
                         const memory::desc &layout) override;
    std::shared_ptr<const WinogradWeights> winogradWeights(int opIndex, const float *weights,
                                                           const float *bias, int inChannels, int outChannels,
                                                           int lanes) override;

private:
    int plan(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
             std::string &why);
    void buildNodes();
    void placeBlobs();
    int buildSteps(std::string &why);
    void computeLifetimes();

    const ncnn::Graph &g_;
    const PlanOptions &options_;
    Plan::Impl &p_;
    WeightStore &weights_;
    ncnn::ExtractPlan plan_;
    std::vector<Node> nodes_;
    std::vector<int> outputs_;
    // The schedule's length after the inputs' steps, and after each layer's (0 for layers without a node).
    size_t inputSteps_ = 0;
    std::vector<size_t> nodeEnd_;
};

// oneDNN 2.6's jit convolutions apply the parameters of the first eltwise post-op of an algorithm to every
// later one of the same algorithm: a chain may repeat an algorithm only with the same parameters.
bool consistentEltwise(const std::vector<PostOp> &chain, const std::vector<PostOp> &more)
{
    std::vector<PostOp> all = chain;
    all.insert(all.end(), more.begin(), more.end());
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = i + 1; j < all.size(); ++j)
            if (!all[i].binary && !all[j].binary && all[i].alg == all[j].alg &&
                (all[i].alpha != all[j].alpha || all[i].beta != all[j].beta))
                return false;
    return true;
}

// The post-ops of a primitive that takes them (its own, then those of the layers folded into it); `blob`
// gives a folded layer's second operand its blob in the plan. Empty when a layer cannot be folded.
std::vector<PostOp> postOpsOf(const ncnn::Layer &head, const std::vector<const ncnn::Layer *> &folded,
                              const std::function<int(int)> &blob)
{
    std::vector<PostOp> post = onednnFormOf(head)->ownPostOps(head);
    int t = head.tops[0];
    for (const ncnn::Layer *layer : folded) {
        const OnednnOperator *form = onednnFormOf(*layer);
        const int position = layer->bottoms[0] == t ? 0 : 1;
        const int other = layer->bottoms.size() == 2 ? blob(layer->bottoms[size_t(1 - position)]) : -1;
        const std::vector<PostOp> add = form && form->fuse && layer->bottoms.size() <= 2
                                            ? form->fuse(*layer, position, other)
                                            : std::vector<PostOp>{};
        if (add.empty() || !consistentEltwise(post, add))
            return {};
        post.insert(post.end(), add.begin(), add.end());
        t = layer->tops[0];
    }
    return post;
}

Shape planShape(const ncnn::Shape &s)
{
    return Shape{s.c, s.h, s.w};
}

// What oneDNN does with a graph, for the planner: the layers it has a form for, with the shapes that form
// takes; the layers folded into a convolution's post-ops; concatenations as views of one buffer that their
// producers write into, except in channels-last, where a part of a pixel's channels is no dense tensor.
class OnednnRules : public ncnn::PlanRules {
public:
    OnednnRules(Layout layout, const PlanOptions &options)
        : PlanRules(ncnn::onednn_backend()), layout_(layout), options_(options)
    {}

    bool folds(const ncnn::Layer &head, const std::vector<const ncnn::Layer *> &folded,
               const ncnn::Layer &next, int) const override
    {
        constexpr size_t kMaxPostOps = 16;
        const OnednnOperator *form = onednnFormOf(head);
        if (!form || !form->ownPostOps)
            return false;
        const std::vector<PostOp> before = postOpsOf(head, folded, [](int) { return 0; });
        if (before.empty() && !folded.empty())
            return false;
        if (before.size() + 3 > kMaxPostOps)
            return false;
        std::vector<const ncnn::Layer *> more = folded;
        more.push_back(&next);
        return !postOpsOf(head, more, [](int) { return 0; }).empty();
    }

    int concat_alignment() const override { return layout_ == Layout::Nhwc ? 0 : channelBlock(layout_, 1); }
    bool writes_into_part(const ncnn::Layer &, const std::vector<const ncnn::Layer *> &) const override
    {
        return true;
    }

    ncnn::Storage reduced_storage() const override { return options_.precision; }
    bool takes_reduced(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &bottoms) const override
    {
        const OnednnOperator *form = onednnFormOf(layer);
        std::vector<Shape> in;
        for (const ncnn::Shape &b : bottoms)
            in.push_back(planShape(b));
        return form && form->takesBf16 && form->takesBf16(layer, in, options_);
    }
    bool mixes_storage(const ncnn::Layer &layer) const override
    {
        const OnednnOperator *form = onednnFormOf(layer);
        return form && form->mixesStorage;
    }

private:
    Layout layout_;
    const PlanOptions &options_;
};

// The planner decides what runs, where and folded into what; the layout is chosen before, since it decides
// which concatenations can be views.
int Compiler::plan(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
                   std::string &why)
{
    const size_t blobs = g_.blobs.size();
    std::vector<ncnn::Shape> known(blobs);
    for (const auto &entry : inputs) {
        const Shape &s = entry.second;
        if (entry.first < 0 || size_t(entry.first) >= blobs || s.c <= 0 || s.h <= 0 || s.w <= 0) {
            why = "an input is empty or no blob of the network";
            return ncnn::ERROR_BAD_INPUT;
        }
        known[size_t(entry.first)] = ncnn::Shape{3, s.w, s.h, s.c};
    }
    for (int o : outputs) {
        if (o < 0 || size_t(o) >= blobs) {
            why = "output blob index out of range";
            return ncnn::ERROR_BAD_INPUT;
        }
    }
    const OnednnRules rules(p_.layout, options_);
    if (const int ret = ncnn::make_plan(g_, known, outputs, rules, plan_, why); ret != 0)
        return ret;
    p_.shapes.assign(blobs, Shape{});
    p_.canon = plan_.source;
    for (size_t i = 0; i < g_.layers.size(); i++) {
        const ncnn::Layer &layer = *g_.layers[i];
        if (std::find(plan_.steps.begin(), plan_.steps.end(), int(i)) == plan_.steps.end() &&
            plan_.folded_into[i] < 0)
            continue;
        std::vector<ncnn::Shape> in, out;
        for (int b : layer.bottoms)
            in.push_back(plan_.shapes[size_t(b)]);
        for (int t : layer.tops) {
            const ncnn::Shape &s = plan_.shapes[size_t(t)];
            if (s.dims == 0) {
                why = layer.name + ": the layer does not take inputs of";
                for (const ncnn::Shape &b : in)
                    why += " " + std::to_string(b.w) + "x" + std::to_string(b.h) + "x" + std::to_string(b.c);
                return ncnn::ERROR_BAD_INPUT;
            }
            if (s.dims != 3) {
                why = layer.name + ": the layer gives a " + std::to_string(s.dims) + "-D blob";
                return ncnn::ERROR_UNSUPPORTED_LAYER;
            }
            p_.shapes[size_t(t)] = planShape(s);
            out.push_back(s);
        }
        if (!layer.bottoms.empty())
            p_.macs += layer.macs(in, out);
    }
    for (const auto &entry : inputs)
        p_.shapes[size_t(entry.first)] = entry.second;
    p_.fused = plan_.fused_layers;
    p_.storage = plan_.storage;
    for (int o : outputs) {
        const int c = p_.canon[size_t(o)];
        if (std::find(outputs_.begin(), outputs_.end(), c) == outputs_.end())
            outputs_.push_back(c);
    }
    return 0;
}

void Compiler::buildNodes()
{
    const auto &canon = p_.canon;
    for (int b : plan_.inputs) {
        Node node;
        node.op = g_.blobs[size_t(b)].producer;
        node.layer = g_.layers[size_t(node.op)].get();
        node.out = canon[size_t(b)];
        node.input = true;
        nodes_.push_back(std::move(node));
    }
    for (int i : plan_.steps) {
        const ncnn::Layer &layer = *g_.layers[size_t(i)];
        if (layer.role() == ncnn::Role::Alias)
            continue;
        Node node;
        node.op = i;
        node.layer = &layer;
        node.form = plan_.on_backend[size_t(i)] ? onednnFormOf(layer) : nullptr;
        for (int b : layer.bottoms)
            node.in.push_back(canon[size_t(b)]);
        node.out = layer.tops.empty() ? -1 : canon[size_t(plan_.result[size_t(i)])];
        if (node.form && node.form->ownPostOps) {
            std::vector<const ncnn::Layer *> folded;
            for (int f : plan_.folded[size_t(i)])
                folded.push_back(g_.layers[size_t(f)].get());
            node.post = postOpsOf(layer, folded, [&canon](int b) { return canon[size_t(b)]; });
        }
        nodes_.push_back(std::move(node));
    }
}

void Compiler::placeBlobs()
{
    const Layout layout = p_.layout;
    const size_t roots = size_t(plan_.root_count);
    std::vector<int> rootChannels(roots, 0);
    std::vector<Shape> rootShape(roots);
    std::vector<memory::data_type> rootType(roots, memory::data_type::f32);
    p_.places.assign(p_.shapes.size(), Place{});
    // Every blob lives in the root the planner gave it: a group's parts at their offsets in the group's
    // buffer, which its concatenations view, anything else at the start of its own.
    for (size_t b = 0; b < plan_.root.size(); ++b) {
        const int r = plan_.root[b];
        if (r < 0)
            continue;
        const int c = p_.canon[b];
        const int g = plan_.part_group[size_t(c)];
        const int offset =
            g >= 0 ? plan_.concat_groups[size_t(g)].offsets[size_t(plan_.part_index[size_t(c)])] : 0;
        p_.places[size_t(c)] = Place{r, offset};
        const Shape &s = shape(c);
        const bool group = size_t(r) < plan_.concat_groups.size();
        rootChannels[size_t(r)] = group ? plan_.concat_groups[size_t(r)].channels : s.c;
        rootShape[size_t(r)] = s;
        // The planner gives every blob of a root one storage.
        rootType[size_t(r)] = dataTypeOf(plan_.storage[b]);
    }
    for (Node &node : nodes_) {
        if (!node.input && plan_.concat_group[size_t(node.op)] >= 0) {
            node.view = true;
            ++p_.inPlaceConcats;
        }
    }
    p_.rootBytes.clear();
    for (size_t r = 0; r < roots; ++r)
        p_.rootBytes.push_back(static_cast<size_t>(paddedChannels(layout, rootChannels[r])) * rootShape[r].h *
                               rootShape[r].w * memory::data_type_size(rootType[r]));
    p_.descs.clear();
    for (size_t b = 0; b < p_.shapes.size(); ++b)
        p_.descs.push_back(layoutDesc(p_.shapes[b], layout, dataTypeOf(plan_.storage[b])));
}

int Compiler::temporaryBlob(const memory::desc &md, Shape s)
{
    p_.shapes.push_back(s);
    p_.descs.push_back(md);
    p_.canon.push_back(static_cast<int>(p_.canon.size()));
    p_.rootBytes.push_back(md.get_size());
    p_.places.push_back(Place{static_cast<int>(p_.rootBytes.size()) - 1, 0});
    return static_cast<int>(p_.shapes.size()) - 1;
}

void Compiler::primitiveStep(const dnnl::primitive &primitive, std::vector<Binding> bindings,
                             std::vector<std::pair<int, memory>> constants, const std::string &kernel)
{
    Step step;
    step.primitive = primitive;
    step.bindings = std::move(bindings);
    step.constants = std::move(constants);
    step.kernel = kernel;
    step.scratchpadBytes = scratchpadBytesOf(primitive, step.scratchpad);
    p_.steps.push_back(std::move(step));
}

void Compiler::customStep(std::vector<Binding> bindings, CustomFn fn, const std::string &kernel)
{
    Step step;
    step.bindings = std::move(bindings);
    step.custom = std::move(fn);
    step.kernel = kernel;
    p_.steps.push_back(std::move(step));
}

void Compiler::reorderStep(int from, int to)
{
    if (p_.descs[size_t(from)].data_type() != p_.descs[size_t(to)].data_type())
        ++p_.conversions;
    const dnnl::reorder::primitive_desc pd(cpuEngine(), p_.descs[from], cpuEngine(), p_.descs[to],
                                           attributes());
    primitiveStep(dnnl::reorder(pd), {bind(DNNL_ARG_FROM, from), bind(DNNL_ARG_TO, to)}, {}, {});
}

memory Compiler::packedWeights(int opIndex, const float *weights, const memory::desc &plain,
                               const memory::desc &layout)
{
    return weights_.packed(opIndex, weights, plain, layout);
}

std::shared_ptr<const WinogradWeights> Compiler::winogradWeights(int opIndex, const float *weights,
                                                                 const float *bias, int inChannels,
                                                                 int outChannels, int lanes)
{
    return weights_.winograd(opIndex, weights, bias, inChannels, outChannels, lanes);
}

int Compiler::buildSteps(std::string &why)
{
    nodeEnd_.assign(g_.layers.size(), 0);
    for (const Node &node : nodes_) {
        const ncnn::Layer &op = *node.layer;
        if (node.input) {
            Step step;
            step.bindings.push_back(Binding{DNNL_ARG_FROM, -1, node.out, false, {}});
            step.bindings.push_back(bind(DNNL_ARG_TO, node.out));
            p_.steps.push_back(std::move(step));
        } else {
            int ret = 0;
            try {
                ret = node.form ? node.form->lower(*this, node, why) : lowerOnReference(*this, node, why);
            } catch (const dnnl::error &e) {
                why = e.what();
                ret = e.status == dnnl_out_of_memory ? ncnn::ERROR_OUT_OF_MEMORY : ncnn::ERROR_FAILED;
            }
            if (ret != 0) {
                why = op.name + ": " + why;
                return ret;
            }
        }
        // Requested outputs leave the plan's layout as soon as they exist.
        for (int output : outputs_) {
            if (output == node.out) {
                Step step;
                step.bindings.push_back(bind(DNNL_ARG_FROM, node.out));
                step.bindings.push_back(Binding{DNNL_ARG_TO, -1, output, true, {}});
                p_.steps.push_back(std::move(step));
            }
        }
        if (node.input)
            inputSteps_ = p_.steps.size();
        else
            nodeEnd_[size_t(node.op)] = p_.steps.size();
    }
    return 0;
}

void Compiler::computeLifetimes()
{
    const size_t roots = p_.rootBytes.size();
    std::vector<int> first(roots, -1), last(roots, -1);
    for (size_t s = 0; s < p_.steps.size(); ++s) {
        for (const Binding &b : p_.steps[s].bindings) {
            if (b.blob < 0)
                continue;
            const size_t r = size_t(p_.places[size_t(b.blob)].root);
            if (first[r] < 0)
                first[r] = static_cast<int>(s);
            last[r] = static_cast<int>(s);
        }
    }
    // Each root is taken at its first use; the plan's roots go back where the planner says, after the
    // steps of the layer that reads them last, and the lowerings' temporaries after their last use.
    const size_t planRoots = size_t(plan_.root_count);
    for (size_t r = 0; r < roots; ++r) {
        if (first[r] < 0)
            continue;
        p_.steps[size_t(first[r])].acquire.push_back(static_cast<int>(r));
        if (r >= planRoots)
            p_.steps[size_t(last[r])].release.push_back(static_cast<int>(r));
    }
    size_t end = inputSteps_;
    for (int s : plan_.steps) {
        end = std::max(end, nodeEnd_[size_t(s)]);
        for (int r : plan_.root_releases[size_t(s)])
            if (first[size_t(r)] >= 0 && end > 0)
                p_.steps[end - 1].release.push_back(r);
    }
}

int Compiler::compile(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
                      std::string &why)
{
    if (const int ret = Plan::check(g_, why); ret != 0)
        return ret;
    p_.layout = options_.layout == Layout::Auto ? preferredLayout() : options_.layout;
    // Channels-last concatenations copy (a part of a pixel's channels is no dense tensor for oneDNN), while
    // blocked ones are views that their producers write into: for dense blocks, the copies cost more than
    // brgconv's lead over the blocked jit kernel (x4plus on AVX-512, per CPU time: 127 against 153 GFLOP/s).
    // With AMX a bf16 plan stays channels-last, copies and all: AMX's brgconv runs only there, 4 to 5 times
    // our fp32 Winograd, where the blocked jit_bf16 kernel runs at a third of it.
    if (options_.layout == Layout::Auto && p_.layout == Layout::Nhwc && !layoutForced() &&
        blockedLayout() != Layout::Plain &&
        (options_.precision == ncnn::Storage::Fp32 || !ncnn::cpu_support_amx_bf16())) {
        bool concats = false;
        for (const auto &layer : g_.layers) {
            concats = concats || (layer->role() == ncnn::Role::Concat && onednnFormOf(*layer));
        }
        if (concats)
            p_.layout = blockedLayout();
    }
    if (const int ret = plan(inputs, outputs, why); ret != 0)
        return ret;
    buildNodes();
    for (int o : outputs_) {
        bool produced = false;
        for (const Node &node : nodes_)
            produced = produced || node.out == o;
        if (!produced) {
            why = "an output blob is never computed";
            return ncnn::ERROR_BAD_INPUT;
        }
    }
    placeBlobs();
    if (const int ret = buildSteps(why); ret != 0)
        return ret;
    computeLifetimes();
    return 0;
}

} // namespace

Plan::Plan(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
Plan::~Plan() = default;

int Plan::check(const ncnn::Graph &graph, std::string &why)
{
    const int blobs = static_cast<int>(graph.blobs.size());
    for (const auto &layer : graph.layers) {
        bool fits = true;
        for (int b : layer->bottoms)
            fits = fits && b >= 0 && b < blobs;
        for (int t : layer->tops)
            fits = fits && t >= 0 && t < blobs;
        const ncnn::Role role = layer->role();
        const char *problem =
            !fits                                                       ? "blob index"
            : (role == ncnn::Role::Alias && layer->bottoms.size() != 1) ? "one input expected"
            : (role != ncnn::Role::Input && role != ncnn::Role::Alias && layer->tops.size() != 1)
                ? "one output expected"
                : nullptr;
        if (problem) {
            why = layer->name + ": " + problem;
            return ncnn::ERROR_UNSUPPORTED_LAYER;
        }
    }
    return 0;
}

int Plan::compile(const ncnn::Graph &graph, const std::vector<std::pair<int, Shape>> &inputs,
                  const std::vector<int> &outputs, const PlanOptions &options, std::unique_ptr<Plan> &plan,
                  std::string &why, WeightStore *weights)
{
    plan.reset();
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    ThreadScope threads(options.numThreads);
    int ret = 0;
    try {
        // Without a store shared by the graph's plans, this plan keeps its own weights.
        WeightStore own;
        Compiler compiler(graph, options, *impl, weights ? *weights : own);
        ret = compiler.compile(inputs, outputs, why);
    } catch (const dnnl::error &e) {
        why = e.what();
        ret = e.status == dnnl_out_of_memory ? ncnn::ERROR_OUT_OF_MEMORY : ncnn::ERROR_FAILED;
    } catch (const std::bad_alloc &) {
        why = "out of memory while compiling";
        ret = ncnn::ERROR_OUT_OF_MEMORY;
    }
    if (ret == 0)
        plan.reset(new Plan(std::move(impl)));
    return ret;
}

Shape Plan::shapeOf(int blob) const
{
    if (blob < 0 || blob >= static_cast<int>(d->canon.size()))
        return {};
    return d->shapes[blob];
}

double Plan::convolutionMacs() const
{
    return d->macs;
}
int Plan::stepCount() const
{
    return static_cast<int>(d->steps.size());
}
int Plan::fusedLayerCount() const
{
    return d->fused;
}
int Plan::inPlaceConcatCount() const
{
    return d->inPlaceConcats;
}

size_t Plan::peakBlobBytes() const
{
    size_t live = 0, peak = 0;
    for (const Step &step : d->steps) {
        for (int r : step.acquire)
            live += d->rootBytes[r];
        peak = std::max(peak, live);
        if (d->options.lightMode)
            for (int r : step.release)
                live -= d->rootBytes[r];
    }
    return peak;
}

Layout Plan::layout() const
{
    return d->layout;
}

size_t Plan::scratchpadBytes() const
{
    size_t most = 0;
    for (const Step &step : d->steps)
        most = std::max(most, step.scratchpadBytes);
    return most;
}

ncnn::Storage Plan::storageOf(int blob) const
{
    return blob >= 0 && size_t(blob) < d->storage.size() ? d->storage[size_t(blob)] : ncnn::Storage::Fp32;
}

int Plan::conversionCount() const
{
    return d->conversions;
}

std::vector<std::string> Plan::convolutionKernels() const
{
    std::vector<std::string> kernels;
    for (const Step &step : d->steps)
        if (!step.kernel.empty())
            kernels.push_back(step.kernel);
    return kernels;
}

} // namespace brivelle::onednn
