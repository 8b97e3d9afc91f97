#include "onednn_plan.h"

#include "blocked_kernels.h"

#include <omp.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <array>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace brivelle::onednn {

using dnnl::algorithm;
using dnnl::memory;
using dt = memory::data_type;
using tag = memory::format_tag;

namespace {

dnnl::engine &cpuEngine()
{
    static dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    return engine;
}

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

memory::desc blockedDesc(Shape s, int block)
{
    const memory::dims dims{1, s.c, s.h, s.w};
    switch (block) {
    case 16:
        return memory::desc(dims, dt::f32, tag::nChw16c);
    case 8:
        return memory::desc(dims, dt::f32, tag::nChw8c);
    case 4:
        return memory::desc(dims, dt::f32, tag::nChw4c);
    default:
        return memory::desc(dims, dt::f32, tag::nchw);
    }
}

memory::desc planarDesc(Shape s, size_t cstep)
{
    const auto step = static_cast<memory::dim>(cstep);
    return memory::desc({1, s.c, s.h, s.w}, dt::f32, memory::dims{s.c * step, step, s.w, 1});
}

int roundUp(int v, int block)
{
    return (v + block - 1) / block * block;
}

struct PostOp {
    bool binary = false;
    algorithm alg = algorithm::undef;
    float alpha = 0.f;
    float beta = 0.f;
    int blob = -1; // the second operand of a binary post-op
};

// One step of the schedule before primitives exist: a layer, or a convolution with the layers folded in.
struct Node {
    int op = -1;
    OpType type = OpType::Noop;
    std::vector<int> in;
    int out = -1;
    std::vector<PostOp> post;
    bool view = false; // a concat whose inputs were written into its buffer
};

// Where a blob lives: a channel offset (a multiple of the block) inside a buffer shared by a concat.
struct Place {
    int root = -1;
    int offset = 0;
};

// A memory argument of a step, resolved to a pointer at run time.
struct Binding {
    int arg = 0;
    int blob = -1;     // internal blob, or
    int external = -1; // index into the run's inputs (isOutput false) or outputs
    bool isOutput = false;
    memory::desc md;
};

struct Step {
    dnnl::primitive primitive;
    bool hasPrimitive = false;
    // Whole-blob loop over the pointers of `bindings`, in order.
    std::function<void(const std::vector<float *> &)> custom;
    std::vector<Binding> bindings;
    std::vector<std::pair<int, memory>> constants;
    bool convolution = false;
    // Reorders at the network's edges depend on the caller's channel step: built on first use.
    bool edgeReorder = false;
    size_t edgeCstep = 0;
    std::vector<int> acquire;
    std::vector<int> release;
};

} // namespace

struct Plan::Impl {
    PlanOptions options;
    int block = 1;
    std::vector<Shape> shapes; // per blob, temporaries appended
    std::vector<memory::desc> descs;
    std::vector<int> canon;
    std::vector<Place> places;
    std::vector<size_t> rootBytes;
    std::vector<Step> steps;
    double macs = 0.0;
    int fused = 0;
    int inPlaceConcats = 0;
    // Runs are serialised: edge reorders are rebuilt when a caller's channel step changes.
    std::mutex runMutex;

    float *pointerOf(int blob, const std::vector<float *> &roots) const
    {
        const Place &p = places[blob];
        const Shape &s = shapes[blob];
        return roots[p.root] + static_cast<size_t>(p.offset) * s.h * s.w;
    }
};

struct WeightStore::Impl {
    std::mutex mutex;
    // Per convolution (by op index): every layout it was reordered into.
    std::unordered_map<int, std::vector<std::pair<memory::desc, memory>>> packed;
};

WeightStore::WeightStore() : d(std::make_unique<Impl>()) {}
WeightStore::~WeightStore() = default;

size_t WeightStore::bytes() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    size_t total = 0;
    for (const auto &entry : d->packed)
        for (const auto &layout : entry.second)
            total += layout.first.get_size();
    return total;
}

int preferredChannelBlock()
{
    static const int block = [] {
        try {
            const memory::desc src({1, 32, 16, 16}, dt::f32, tag::any);
            const memory::desc weights({32, 32, 3, 3}, dt::f32, tag::any);
            const memory::desc dst({1, 32, 16, 16}, dt::f32, tag::any);
            const dnnl::convolution_forward::desc desc(dnnl::prop_kind::forward_inference,
                                                       algorithm::convolution_direct, src, weights, dst,
                                                       {1, 1}, {1, 1}, {1, 1});
            const dnnl::convolution_forward::primitive_desc pd(desc, cpuEngine());
            const auto &blocking = pd.src_desc().data.format_desc.blocking;
            if (blocking.inner_nblks == 1 && blocking.inner_idxs[0] == 1)
                return static_cast<int>(blocking.inner_blks[0]);
        } catch (const dnnl::error &) {
        }
        return 1;
    }();
    return block;
}

namespace {

// Builds the schedule; a class so that the many small decisions share their tables.
class Compiler {
public:
    Compiler(const FastGraph &graph, const PlanOptions &options, Plan::Impl &plan, WeightStore *weights)
        : g_(graph), options_(options), p_(plan), weights_(weights)
    {}

    std::string compile(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs);

private:
    std::string inferShapes(const std::vector<std::pair<int, Shape>> &inputs);
    void buildNodes();
    void fuseInto(Node &node, int convOp);
    void placeBlobs();
    std::string buildSteps();
    std::string convolutionStep(const Node &node);
    memory packedWeights(int opIndex, int inChannels, const memory::desc &layout);
    void reorderStep(int from, int to);
    void primitiveStep(const dnnl::primitive &primitive, std::vector<Binding> bindings);
    int temporaryBlob(const memory::desc &md, Shape shape);
    void computeLifetimes();

    Binding bind(int arg, int blob) const { return Binding{arg, blob, -1, false, p_.descs[blob]}; }
    const Shape &shape(int blob) const { return p_.shapes[blob]; }

    const FastGraph &g_;
    const PlanOptions &options_;
    Plan::Impl &p_;
    WeightStore *weights_;
    std::vector<int> producer_;             // op index per canonical blob
    std::vector<std::vector<int>> readers_; // op indices per canonical blob
    std::vector<bool> isOutput_;
    std::vector<bool> fusedAway_;
    std::vector<Node> nodes_;
    std::vector<int> outputs_;
    std::vector<int> inputBlobs_;
    std::vector<int> rootChannels_;
    std::vector<Shape> rootShape_;
    std::unordered_map<int, std::array<int, 4>> resolvedPads_; // top, left, bottom, right per op
};

std::string Compiler::inferShapes(const std::vector<std::pair<int, Shape>> &inputs)
{
    const int n = g_.blobCount;
    p_.shapes.assign(n, Shape{});
    p_.canon.resize(n);
    for (int i = 0; i < n; ++i)
        p_.canon[i] = i;
    std::vector<bool> known(n, false);
    auto &canon = p_.canon;
    for (const FastOp &op : g_.ops) {
        for (int b : op.bottoms)
            if (!known[b])
                return op.name + ": input blob not computed before";
        const Shape in = op.bottoms.empty() ? Shape{} : p_.shapes[op.bottoms[0]];
        Shape out = in;
        switch (op.type) {
        case OpType::Input: {
            bool found = false;
            for (const auto &entry : inputs)
                if (!op.tops.empty() && entry.first == op.tops[0]) {
                    out = entry.second;
                    found = true;
                }
            if (!found)
                return op.name + ": no input given";
            if (out.c <= 0 || out.h <= 0 || out.w <= 0)
                return op.name + ": empty input";
            break;
        }
        case OpType::Split:
        case OpType::Noop:
            for (int t : op.tops)
                canon[t] = canon[op.bottoms[0]];
            break;
        case OpType::Convolution: {
            const size_t perInput = static_cast<size_t>(op.outChannels) * op.kernelW * op.kernelH;
            if (op.weights.size() != perInput * in.c)
                return op.name + ": weights expect " + std::to_string(op.weights.size() / perInput) +
                       " input channels, the blob has " + std::to_string(in.c);
            const int extW = op.dilationW * (op.kernelW - 1) + 1;
            const int extH = op.dilationH * (op.kernelH - 1) + 1;
            int pl = op.padLeft, pr = op.padRight, pt = op.padTop, pb = op.padBottom;
            if (op.padLeft == -233 || op.padLeft == -234) {
                const int wpad = std::max(0, extW + (in.w - 1) / op.strideW * op.strideW - in.w);
                const int hpad = std::max(0, extH + (in.h - 1) / op.strideH * op.strideH - in.h);
                const bool upper = op.padLeft == -233;
                pl = upper ? wpad / 2 : wpad - wpad / 2;
                pr = wpad - pl;
                pt = upper ? hpad / 2 : hpad - hpad / 2;
                pb = hpad - pt;
            }
            out.c = op.outChannels;
            out.w = (in.w + pl + pr - extW) / op.strideW + 1;
            out.h = (in.h + pt + pb - extH) / op.strideH + 1;
            if (in.w + pl + pr < extW || in.h + pt + pb < extH)
                return op.name + ": input smaller than the kernel";
            resolvedPads_[&op - g_.ops.data()] = {pt, pl, pb, pr};
            p_.macs += static_cast<double>(out.c) * out.h * out.w * in.c * op.kernelW * op.kernelH;
            break;
        }
        case OpType::Concat:
            out.c = 0;
            for (int b : op.bottoms) {
                const Shape &s = p_.shapes[b];
                if (s.h != in.h || s.w != in.w)
                    return op.name + ": inputs differ in size";
                out.c += s.c;
            }
            break;
        case OpType::Eltwise:
            for (int b : op.bottoms)
                if (!(p_.shapes[b] == in))
                    return op.name + ": inputs differ in shape";
            break;
        case OpType::BinaryOp:
            if (!op.withScalar && !(p_.shapes[op.bottoms[1]] == in))
                return op.name + ": broadcasting is left to the reference path";
            if (op.withScalar && op.operation == 3 && op.scalar == 0.f)
                return op.name + ": division by a zero scalar";
            break;
        case OpType::PReLU:
            if (op.slopes.size() != 1 && op.slopes.size() != static_cast<size_t>(in.c))
                return op.name + ": slope count";
            break;
        case OpType::Interp: {
            out.h = op.outHeight > 0 ? op.outHeight : static_cast<int>(in.h * op.heightScale);
            out.w = op.outWidth > 0 ? op.outWidth : static_cast<int>(in.w * op.widthScale);
            // oneDNN's nearest rounds source coordinates from pixel centres; they agree for whole factors.
            if (out.h <= 0 || out.w <= 0 || out.h % in.h || out.w % in.w)
                return op.name + ": only whole upscale factors";
            break;
        }
        case OpType::PixelShuffle:
            if (in.c % (op.factor * op.factor))
                return op.name + ": channels not divisible by the factor squared";
            out.c = in.c / (op.factor * op.factor);
            out.h = in.h * op.factor;
            out.w = in.w * op.factor;
            break;
        case OpType::Reorg:
            out.c = in.c * op.factor * op.factor;
            out.h = in.h / op.factor;
            out.w = in.w / op.factor;
            if (out.h <= 0 || out.w <= 0)
                return op.name + ": input smaller than the stride";
            break;
        default:
            break;
        }
        for (int t : op.tops) {
            p_.shapes[t] = out;
            known[t] = true;
        }
    }
    return {};
}

void Compiler::buildNodes()
{
    const int n = g_.blobCount;
    const auto &canon = p_.canon;
    producer_.assign(n, -1);
    readers_.assign(n, {});
    fusedAway_.assign(g_.ops.size(), false);
    for (size_t i = 0; i < g_.ops.size(); ++i) {
        const FastOp &op = g_.ops[i];
        if (op.type == OpType::Split || op.type == OpType::Noop)
            continue;
        for (int b : op.bottoms)
            readers_[canon[b]].push_back(static_cast<int>(i));
        for (int t : op.tops)
            producer_[canon[t]] = static_cast<int>(i);
    }
    for (size_t i = 0; i < g_.ops.size(); ++i) {
        const FastOp &op = g_.ops[i];
        if (op.type == OpType::Split || op.type == OpType::Noop || fusedAway_[i])
            continue;
        Node node;
        node.op = static_cast<int>(i);
        node.type = op.type;
        for (int b : op.bottoms)
            node.in.push_back(canon[b]);
        node.out = op.tops.empty() ? -1 : canon[op.tops[0]];
        if (op.type == OpType::Input)
            inputBlobs_.push_back(node.out);
        if (op.type == OpType::Convolution)
            fuseInto(node, static_cast<int>(i));
        nodes_.push_back(std::move(node));
    }
}

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

// Folds the layers that follow a convolution into its post-ops while the intermediate blob has no other
// reader and every second operand already exists when the convolution runs.
void Compiler::fuseInto(Node &node, int convOp)
{
    const auto &canon = p_.canon;
    constexpr size_t kMaxPostOps = 16;
    auto eltwise = [](algorithm alg, float alpha, float beta) {
        return PostOp{false, alg, alpha, beta, -1};
    };
    auto binary = [](algorithm alg, int blob) {
        return PostOp{true, alg, 0.f, 0.f, blob};
    };

    const Activation &a = g_.ops[convOp].activation;
    switch (a.type) {
    case 1:
        node.post.push_back(eltwise(algorithm::eltwise_relu, 0.f, 0.f));
        break;
    case 2:
        node.post.push_back(eltwise(algorithm::eltwise_relu, a.a, 0.f));
        break;
    case 3:
        node.post.push_back(eltwise(algorithm::eltwise_clip, a.a, a.b));
        break;
    case 4:
        node.post.push_back(eltwise(algorithm::eltwise_logistic, 0.f, 0.f));
        break;
    case 5:
        node.post.push_back(eltwise(algorithm::eltwise_mish, 0.f, 0.f));
        break;
    case 6:
        node.post.push_back(eltwise(algorithm::eltwise_hardswish, 0.f, 0.f));
        break;
    default:
        break;
    }

    int t = node.out;
    while (node.post.size() + 3 <= kMaxPostOps && !isOutput_[t] && readers_[t].size() == 1) {
        const int j = readers_[t][0];
        const FastOp &op = g_.ops[j];
        std::vector<PostOp> add;
        if (op.type == OpType::ReLU) {
            add.push_back(eltwise(algorithm::eltwise_relu, op.slope, 0.f));
        } else if (op.type == OpType::Clip) {
            add.push_back(eltwise(algorithm::eltwise_clip, op.minValue, op.maxValue));
        } else if (op.type == OpType::Sigmoid) {
            add.push_back(eltwise(algorithm::eltwise_logistic, 0.f, 0.f));
        } else if (op.type == OpType::BinaryOp && op.withScalar) {
            const float s = op.scalar;
            switch (op.operation) {
            case 0:
                add.push_back(eltwise(algorithm::eltwise_linear, 1.f, s));
                break;
            case 1:
                add.push_back(eltwise(algorithm::eltwise_linear, 1.f, -s));
                break;
            case 2:
                add.push_back(eltwise(algorithm::eltwise_linear, s, 0.f));
                break;
            case 3:
                add.push_back(eltwise(algorithm::eltwise_linear, 1.f / s, 0.f));
                break;
            case 4:
                add.push_back(eltwise(algorithm::eltwise_clip, s, FLT_MAX));
                break;
            case 5:
                add.push_back(eltwise(algorithm::eltwise_clip, -FLT_MAX, s));
                break;
            case 7:
                add.push_back(eltwise(algorithm::eltwise_linear, -1.f, s));
                break;
            default:
                break;
            }
        } else if ((op.type == OpType::Eltwise || op.type == OpType::BinaryOp) && op.bottoms.size() == 2) {
            const int first = canon[op.bottoms[0]], second = canon[op.bottoms[1]];
            const bool tFirst = first == t;
            const int other = tFirst ? second : first;
            if (other == t || producer_[other] >= convOp || !(shape(other) == shape(t)))
                break;
            if (op.type == OpType::Eltwise) {
                if (op.operation == 1) {
                    const float ct = op.coeffs.empty() ? 1.f : op.coeffs[tFirst ? 0 : 1];
                    const float co = op.coeffs.empty() ? 1.f : op.coeffs[tFirst ? 1 : 0];
                    if (co == 0.f) {
                        add.push_back(eltwise(algorithm::eltwise_linear, ct, 0.f));
                    } else {
                        if (ct != co)
                            add.push_back(eltwise(algorithm::eltwise_linear, ct / co, 0.f));
                        add.push_back(binary(algorithm::binary_add, other));
                        if (co != 1.f)
                            add.push_back(eltwise(algorithm::eltwise_linear, co, 0.f));
                    }
                } else {
                    add.push_back(
                        binary(op.operation == 0 ? algorithm::binary_mul : algorithm::binary_max, other));
                }
            } else {
                switch (op.operation) {
                case 0:
                    add.push_back(binary(algorithm::binary_add, other));
                    break;
                case 2:
                    add.push_back(binary(algorithm::binary_mul, other));
                    break;
                case 4:
                    add.push_back(binary(algorithm::binary_max, other));
                    break;
                case 5:
                    add.push_back(binary(algorithm::binary_min, other));
                    break;
                case 1: // t - other, or other - t
                case 7: // rsub: second - first
                    if (tFirst == (op.operation == 1)) {
                        add.push_back(binary(algorithm::binary_sub, other));
                    } else {
                        add.push_back(eltwise(algorithm::eltwise_linear, -1.f, 0.f));
                        add.push_back(binary(algorithm::binary_add, other));
                    }
                    break;
                case 3: // t / other only
                case 8:
                    if (tFirst == (op.operation == 3))
                        add.push_back(binary(algorithm::binary_div, other));
                    break;
                default:
                    break;
                }
            }
        }
        if (add.empty() || !consistentEltwise(node.post, add))
            break;
        node.post.insert(node.post.end(), add.begin(), add.end());
        fusedAway_[j] = true;
        ++p_.fused;
        t = canon[op.tops[0]];
    }
    node.out = t;
}

void Compiler::placeBlobs()
{
    const int block = p_.block;
    p_.places.assign(p_.shapes.size(), Place{});
    auto &places = p_.places;
    auto newRoot = [this](Shape s) {
        rootChannels_.push_back(0);
        rootShape_.push_back(s);
        return static_cast<int>(rootChannels_.size()) - 1;
    };
    // Concats whose inputs can be written straight into one buffer become views of it.
    for (Node &node : nodes_) {
        if (node.type != OpType::Concat)
            continue;
        const auto &in = node.in;
        bool ok = true;
        for (size_t k = 0; k + 1 < in.size(); ++k)
            ok = ok && shape(in[k]).c % block == 0;
        for (size_t k = 0; k < in.size() && ok; ++k)
            for (size_t m = k + 1; m < in.size(); ++m)
                ok = ok && in[k] != in[m];
        if (!ok)
            continue;
        size_t k = 0;
        int root = places[in[0]].root;
        int start = 0, cursor = 0;
        if (root >= 0) {
            start = cursor = places[in[0]].offset;
            while (k < in.size() && places[in[k]].root == root && places[in[k]].offset == cursor)
                cursor += shape(in[k++]).c;
            if (k < in.size() && cursor != rootChannels_[root])
                continue;
        }
        bool rest = true;
        for (size_t m = k; m < in.size(); ++m)
            rest = rest && places[in[m]].root < 0;
        if (!rest)
            continue;
        if (root < 0)
            root = newRoot(shape(node.out));
        for (size_t m = k; m < in.size(); ++m) {
            places[in[m]] = Place{root, cursor};
            cursor += shape(in[m]).c;
        }
        rootChannels_[root] = std::max(rootChannels_[root], cursor);
        places[node.out] = Place{root, start};
        node.view = true;
        ++p_.inPlaceConcats;
    }
    for (const Node &node : nodes_) {
        if (node.out >= 0 && places[node.out].root < 0) {
            const int root = newRoot(shape(node.out));
            rootChannels_[root] = shape(node.out).c;
            places[node.out] = Place{root, 0};
        }
    }
    p_.rootBytes.clear();
    for (size_t r = 0; r < rootChannels_.size(); ++r)
        p_.rootBytes.push_back(static_cast<size_t>(roundUp(rootChannels_[r], block)) * rootShape_[r].h *
                               rootShape_[r].w * sizeof(float));
    p_.descs.clear();
    for (const Shape &s : p_.shapes)
        p_.descs.push_back(blockedDesc(s, block));
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

void Compiler::primitiveStep(const dnnl::primitive &primitive, std::vector<Binding> bindings)
{
    Step step;
    step.primitive = primitive;
    step.hasPrimitive = true;
    step.bindings = std::move(bindings);
    p_.steps.push_back(std::move(step));
}

void Compiler::reorderStep(int from, int to)
{
    const dnnl::reorder::primitive_desc pd(cpuEngine(), p_.descs[from], cpuEngine(), p_.descs[to]);
    primitiveStep(dnnl::reorder(pd), {bind(DNNL_ARG_FROM, from), bind(DNNL_ARG_TO, to)});
}

memory Compiler::packedWeights(int opIndex, int inChannels, const memory::desc &layout)
{
    const FastOp &op = g_.ops[opIndex];
    std::unique_lock<std::mutex> lock;
    std::vector<std::pair<memory::desc, memory>> *known = nullptr;
    if (weights_) {
        lock = std::unique_lock<std::mutex>(weights_->d->mutex);
        known = &weights_->d->packed[opIndex];
        for (const auto &entry : *known)
            if (entry.first == layout)
                return entry.second;
    }
    std::vector<float> plain = op.weights;
    memory user(memory::desc({op.outChannels, inChannels, op.kernelH, op.kernelW}, dt::f32, tag::oihw),
                cpuEngine(), plain.data());
    memory packed(layout, cpuEngine());
    dnnl::stream stream(cpuEngine());
    dnnl::reorder(user, packed).execute(stream, user, packed);
    stream.wait();
    if (known)
        known->emplace_back(layout, packed);
    return packed;
}

std::string Compiler::convolutionStep(const Node &node)
{
    const FastOp &op = g_.ops[node.op];
    const int src = node.in[0];
    const Shape in = shape(src);
    const auto pads = resolvedPads_.at(node.op);

    dnnl::post_ops postOps;
    for (const PostOp &po : node.post) {
        if (po.binary)
            postOps.append_binary(po.alg, p_.descs[po.blob]);
        else
            postOps.append_eltwise(1.f, po.alg, po.alpha, po.beta);
    }
    dnnl::primitive_attr attr;
    attr.set_post_ops(postOps);

    const memory::desc weightsAny({op.outChannels, in.c, op.kernelH, op.kernelW}, dt::f32, tag::any);
    const memory::desc biasMd({op.outChannels}, dt::f32, tag::x);
    const bool hasBias = !op.bias.empty();
    auto make = [&](algorithm alg, const memory::desc &srcMd) {
        const memory::dims strides{op.strideH, op.strideW}, dilation{op.dilationH - 1, op.dilationW - 1};
        const memory::dims padL{pads[0], pads[1]}, padR{pads[2], pads[3]};
        const auto kind = dnnl::prop_kind::forward_inference;
        const auto &dstMd = p_.descs[node.out];
        if (hasBias)
            return dnnl::convolution_forward::primitive_desc(
                dnnl::convolution_forward::desc(kind, alg, srcMd, weightsAny, biasMd, dstMd, strides,
                                                dilation, padL, padR),
                attr, cpuEngine());
        return dnnl::convolution_forward::primitive_desc(
            dnnl::convolution_forward::desc(kind, alg, srcMd, weightsAny, dstMd, strides, dilation, padL,
                                            padR),
            attr, cpuEngine());
    };

    const memory::desc srcBlocked = p_.descs[src];
    const memory::desc srcAny({1, in.c, in.h, in.w}, dt::f32, tag::any);
    dnnl::convolution_forward::primitive_desc pd;
    bool have = false;
    // oneDNN ships Winograd kernels for AVX-512 only; elsewhere creation fails and direct is used.
    if (options_.tryWinograd && op.kernelW == 3 && op.kernelH == 3 && op.strideW == 1 && op.strideH == 1 &&
        op.dilationW == 1 && op.dilationH == 1) {
        try {
            pd = make(algorithm::convolution_winograd, srcAny);
            have = true;
        } catch (const dnnl::error &) {
        }
    }
    if (!have) {
        try {
            pd = make(algorithm::convolution_direct, srcBlocked);
            have = std::strncmp(pd.impl_info_str(), "ref", 3) != 0;
        } catch (const dnnl::error &) {
        }
    }
    if (!have) {
        // A layout of oneDNN's choice (plain for a first layer with few channels) behind a reorder.
        try {
            pd = make(algorithm::convolution_direct, srcAny);
        } catch (const dnnl::error &e) {
            return op.name + ": " + e.what();
        }
    }

    int convSrc = src;
    if (pd.src_desc() != srcBlocked) {
        convSrc = temporaryBlob(pd.src_desc(), in);
        reorderStep(src, convSrc);
    }

    Step step;
    step.primitive = dnnl::convolution_forward(pd);
    step.hasPrimitive = true;
    step.convolution = true;
    step.bindings.push_back(bind(DNNL_ARG_SRC, convSrc));
    step.bindings.push_back(bind(DNNL_ARG_DST, node.out));
    for (size_t i = 0; i < node.post.size(); ++i)
        if (node.post[i].binary)
            step.bindings.push_back(bind(DNNL_ARG_ATTR_MULTIPLE_POST_OP(static_cast<int>(i)) | DNNL_ARG_SRC_1,
                                         node.post[i].blob));

    // The weights are reordered once, here, into the layout this primitive wants.
    step.constants.emplace_back(DNNL_ARG_WEIGHTS, packedWeights(node.op, in.c, pd.weights_desc()));
    if (hasBias) {
        memory bias(biasMd, cpuEngine());
        std::memcpy(bias.get_data_handle(), op.bias.data(), op.bias.size() * sizeof(float));
        step.constants.emplace_back(DNNL_ARG_BIAS, bias);
    }
    p_.steps.push_back(std::move(step));
    return {};
}

std::string Compiler::buildSteps()
{
    const int block = p_.block;
    for (const Node &node : nodes_) {
        const FastOp &op = g_.ops[node.op];
        try {
            switch (node.type) {
            case OpType::Input: {
                Step step;
                step.edgeReorder = true;
                step.bindings.push_back(Binding{DNNL_ARG_FROM, -1, node.out, false, {}});
                step.bindings.push_back(bind(DNNL_ARG_TO, node.out));
                p_.steps.push_back(std::move(step));
                break;
            }
            case OpType::Convolution: {
                const std::string why = convolutionStep(node);
                if (!why.empty())
                    return why;
                break;
            }
            case OpType::Concat: {
                if (node.view)
                    break;
                std::vector<memory::desc> srcs;
                std::vector<Binding> bindings{bind(DNNL_ARG_DST, node.out)};
                for (size_t k = 0; k < node.in.size(); ++k) {
                    srcs.push_back(p_.descs[node.in[k]]);
                    bindings.push_back(bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
                }
                const dnnl::concat::primitive_desc pd(p_.descs[node.out], 1, srcs, cpuEngine());
                primitiveStep(dnnl::concat(pd), std::move(bindings));
                break;
            }
            case OpType::Eltwise: {
                std::vector<Binding> bindings{bind(DNNL_ARG_DST, node.out)};
                if (op.operation == 1) {
                    std::vector<float> scales = op.coeffs;
                    if (scales.empty())
                        scales.assign(node.in.size(), 1.f);
                    std::vector<memory::desc> srcs;
                    for (size_t k = 0; k < node.in.size(); ++k) {
                        srcs.push_back(p_.descs[node.in[k]]);
                        bindings.push_back(bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
                    }
                    const dnnl::sum::primitive_desc pd(p_.descs[node.out], scales, srcs, cpuEngine());
                    primitiveStep(dnnl::sum(pd), std::move(bindings));
                } else {
                    const auto alg = op.operation == 0 ? algorithm::binary_mul : algorithm::binary_max;
                    const auto &md = p_.descs[node.out];
                    const dnnl::binary::primitive_desc pd(dnnl::binary::desc(alg, md, md, md), cpuEngine());
                    const dnnl::binary primitive(pd);
                    primitiveStep(primitive,
                                  {bind(DNNL_ARG_SRC_0, node.in[0]), bind(DNNL_ARG_SRC_1, node.in[1]),
                                   bind(DNNL_ARG_DST, node.out)});
                    // Further operands accumulate in place.
                    for (size_t k = 2; k < node.in.size(); ++k)
                        primitiveStep(primitive,
                                      {bind(DNNL_ARG_SRC_0, node.out), bind(DNNL_ARG_SRC_1, node.in[k]),
                                       bind(DNNL_ARG_DST, node.out)});
                }
                break;
            }
            case OpType::BinaryOp: {
                const auto &md = p_.descs[node.out];
                if (op.withScalar) {
                    const float s = op.scalar;
                    algorithm alg = algorithm::eltwise_linear;
                    float alpha = 1.f, beta = 0.f;
                    switch (op.operation) {
                    case 0:
                        beta = s;
                        break;
                    case 1:
                        beta = -s;
                        break;
                    case 2:
                        alpha = s;
                        break;
                    case 3:
                        alpha = 1.f / s;
                        break;
                    case 4:
                        alg = algorithm::eltwise_clip;
                        alpha = s;
                        beta = FLT_MAX;
                        break;
                    case 5:
                        alg = algorithm::eltwise_clip;
                        alpha = -FLT_MAX;
                        beta = s;
                        break;
                    default: // 7, rsub
                        alpha = -1.f;
                        beta = s;
                        break;
                    }
                    const dnnl::eltwise_forward::primitive_desc pd(
                        dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, alg, md, alpha, beta),
                        cpuEngine());
                    primitiveStep(dnnl::eltwise_forward(pd),
                                  {bind(DNNL_ARG_SRC, node.in[0]), bind(DNNL_ARG_DST, node.out)});
                    break;
                }
                static const algorithm algs[] = {
                    algorithm::binary_add, algorithm::binary_sub, algorithm::binary_mul,
                    algorithm::binary_div, algorithm::binary_max, algorithm::binary_min,
                    algorithm::undef,      algorithm::binary_sub, algorithm::binary_div};
                const bool swap = op.operation == 7 || op.operation == 8;
                const dnnl::binary::primitive_desc pd(dnnl::binary::desc(algs[op.operation], md, md, md),
                                                      cpuEngine());
                primitiveStep(dnnl::binary(pd),
                              {bind(DNNL_ARG_SRC_0, node.in[swap ? 1 : 0]),
                               bind(DNNL_ARG_SRC_1, node.in[swap ? 0 : 1]), bind(DNNL_ARG_DST, node.out)});
                break;
            }
            case OpType::ReLU:
            case OpType::Clip:
            case OpType::Sigmoid: {
                algorithm alg = algorithm::eltwise_logistic;
                float alpha = 0.f, beta = 0.f;
                if (node.type == OpType::ReLU) {
                    alg = algorithm::eltwise_relu;
                    alpha = op.slope;
                } else if (node.type == OpType::Clip) {
                    alg = algorithm::eltwise_clip;
                    alpha = op.minValue;
                    beta = op.maxValue;
                }
                const dnnl::eltwise_forward::primitive_desc pd(
                    dnnl::eltwise_forward::desc(dnnl::prop_kind::forward_inference, alg, p_.descs[node.out],
                                                alpha, beta),
                    cpuEngine());
                primitiveStep(dnnl::eltwise_forward(pd),
                              {bind(DNNL_ARG_SRC, node.in[0]), bind(DNNL_ARG_DST, node.out)});
                break;
            }
            case OpType::Interp: {
                const dnnl::resampling_forward::primitive_desc pd(
                    dnnl::resampling_forward::desc(dnnl::prop_kind::forward_inference,
                                                   algorithm::resampling_nearest, p_.descs[node.in[0]],
                                                   p_.descs[node.out]),
                    cpuEngine());
                primitiveStep(dnnl::resampling_forward(pd),
                              {bind(DNNL_ARG_SRC, node.in[0]), bind(DNNL_ARG_DST, node.out)});
                break;
            }
            case OpType::PReLU:
            case OpType::PixelShuffle:
            case OpType::Reorg: {
                Step step;
                step.bindings = {bind(DNNL_ARG_SRC, node.in[0]), bind(DNNL_ARG_DST, node.out)};
                const Shape in = shape(node.in[0]), out = shape(node.out);
                if (node.type == OpType::PReLU) {
                    const std::vector<float> slopes = op.slopes;
                    step.custom = [slopes, in, block](const std::vector<float *> &ptr) {
                        preluBlocked(ptr[0], ptr[1], in, block, slopes.data(),
                                     static_cast<int>(slopes.size()));
                    };
                } else if (node.type == OpType::PixelShuffle) {
                    const int factor = op.factor, mode = op.mode;
                    step.custom = [=](const std::vector<float *> &ptr) {
                        pixelShuffleBlocked(ptr[0], in, ptr[1], out, block, factor, mode);
                    };
                } else {
                    const int factor = op.factor, mode = op.mode;
                    step.custom = [=](const std::vector<float *> &ptr) {
                        reorgBlocked(ptr[0], in, ptr[1], out, block, factor, mode);
                    };
                }
                p_.steps.push_back(std::move(step));
                break;
            }
            default:
                break;
            }
        } catch (const dnnl::error &e) {
            return op.name + ": " + e.what();
        }
        // Requested outputs leave the blocked layout as soon as they exist.
        for (int output : outputs_) {
            if (output == node.out) {
                Step step;
                step.edgeReorder = true;
                step.bindings.push_back(bind(DNNL_ARG_FROM, node.out));
                step.bindings.push_back(Binding{DNNL_ARG_TO, -1, output, true, {}});
                p_.steps.push_back(std::move(step));
            }
        }
    }
    return {};
}

void Compiler::computeLifetimes()
{
    const size_t roots = p_.rootBytes.size();
    std::vector<int> first(roots, -1), last(roots, -1);
    for (size_t s = 0; s < p_.steps.size(); ++s) {
        for (const Binding &b : p_.steps[s].bindings) {
            if (b.blob < 0)
                continue;
            const int r = p_.places[b.blob].root;
            if (first[r] < 0)
                first[r] = static_cast<int>(s);
            last[r] = static_cast<int>(s);
        }
    }
    for (size_t r = 0; r < roots; ++r) {
        if (first[r] < 0)
            continue;
        p_.steps[first[r]].acquire.push_back(static_cast<int>(r));
        p_.steps[last[r]].release.push_back(static_cast<int>(r));
    }
}

std::string Compiler::compile(const std::vector<std::pair<int, Shape>> &inputs,
                              const std::vector<int> &outputs)
{
    std::string why = unsupportedReason(g_);
    if (!why.empty())
        return why;
    why = inferShapes(inputs);
    if (!why.empty())
        return why;
    isOutput_.assign(g_.blobCount, false);
    for (int o : outputs) {
        if (o < 0 || o >= g_.blobCount)
            return "output blob index out of range";
        const int c = p_.canon[o];
        isOutput_[c] = true;
        if (std::find(outputs_.begin(), outputs_.end(), c) == outputs_.end())
            outputs_.push_back(c);
    }
    buildNodes();
    for (int o : outputs_) {
        bool produced = false;
        for (const Node &node : nodes_)
            produced = produced || node.out == o;
        if (!produced)
            return "an output blob is never computed";
    }
    p_.block = preferredChannelBlock();
    placeBlobs();
    why = buildSteps();
    if (!why.empty())
        return why;
    computeLifetimes();
    return {};
}

} // namespace

Plan::Plan(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
Plan::~Plan() = default;

std::unique_ptr<Plan> Plan::compile(const FastGraph &graph, const std::vector<std::pair<int, Shape>> &inputs,
                                    const std::vector<int> &outputs, const PlanOptions &options,
                                    std::string *error, WeightStore *weights)
{
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    ThreadScope threads(options.numThreads);
    std::string why;
    try {
        Compiler compiler(graph, options, *impl, weights);
        why = compiler.compile(inputs, outputs);
    } catch (const dnnl::error &e) {
        why = e.what();
    } catch (const std::bad_alloc &) {
        why = "out of memory while compiling";
    }
    if (!why.empty()) {
        if (error)
            *error = why;
        return nullptr;
    }
    return std::unique_ptr<Plan>(new Plan(std::move(impl)));
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

int Plan::run(const std::vector<std::pair<int, TensorView>> &inputs,
              const std::vector<std::pair<int, TensorView>> &outputs, BufferPool &pool, std::string *error,
              StepTimes *times)
{
    const OutputAllocator given = [this, &outputs](int blob, Shape) {
        for (const auto &entry : outputs)
            if (entry.first >= 0 && entry.first < static_cast<int>(d->canon.size()) &&
                d->canon[entry.first] == blob)
                return entry.second;
        return TensorView{};
    };
    return run(inputs, given, pool, error, times);
}

int Plan::run(const std::vector<std::pair<int, TensorView>> &inputs, const OutputAllocator &allocate,
              BufferPool &pool, std::string *error, StepTimes *times)
{
    std::lock_guard<std::mutex> lock(d->runMutex);
    ThreadScope threads(d->options.numThreads);
    std::vector<float *> roots(d->rootBytes.size(), nullptr);
    auto fail = [&](const std::string &why, int code = kFailed) {
        for (float *&r : roots) {
            pool.release(r);
            r = nullptr;
        }
        if (error)
            *error = why;
        return code;
    };
    TensorView outputView;
    auto external = [&](const Binding &b) -> const TensorView * {
        if (b.isOutput) {
            outputView = allocate(b.external, d->shapes[b.external]);
            return &outputView;
        }
        for (const auto &entry : inputs)
            if (d->canon[entry.first] == b.external)
                return &entry.second;
        return nullptr;
    };
    try {
        dnnl::stream stream(cpuEngine());
        std::vector<float *> pointers;
        std::unordered_map<int, memory> args;
        for (Step &step : d->steps) {
            for (int r : step.acquire) {
                roots[r] = pool.acquire(d->rootBytes[r]);
                if (!roots[r])
                    return fail("out of memory: " + std::to_string(d->rootBytes[r]) + " bytes for a blob",
                                kOutOfMemory);
            }
            const auto start = std::chrono::steady_clock::now();
            pointers.clear();
            args.clear();
            for (Binding &b : step.bindings) {
                float *ptr = nullptr;
                if (b.blob >= 0) {
                    ptr = d->pointerOf(b.blob, roots);
                } else {
                    const TensorView *view = external(b);
                    if (!view || !view->data)
                        return b.isOutput ? fail("out of memory for an output", kOutOfMemory)
                                          : fail("an input is missing");
                    const Shape expected = d->shapes[b.external];
                    if (!(view->shape == expected))
                        return fail("a tensor does not have the compiled shape");
                    if (step.edgeCstep != view->cstep || !step.hasPrimitive) {
                        b.md = planarDesc(expected, view->cstep);
                        const auto &other = step.bindings[b.isOutput ? 0 : 1];
                        const memory::desc &from = b.isOutput ? other.md : b.md;
                        const memory::desc &to = b.isOutput ? b.md : other.md;
                        step.primitive =
                            dnnl::reorder(dnnl::reorder::primitive_desc(cpuEngine(), from, cpuEngine(), to));
                        step.hasPrimitive = true;
                        step.edgeCstep = view->cstep;
                    }
                    ptr = view->data;
                }
                pointers.push_back(ptr);
                args.emplace(b.arg, memory(b.md, cpuEngine(), ptr));
            }
            if (step.custom) {
                step.custom(pointers);
            } else {
                for (auto &constant : step.constants)
                    args.emplace(constant.first, constant.second);
                step.primitive.execute(stream, args);
                stream.wait();
            }
            if (times) {
                const double seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                (step.convolution ? times->convolution : times->other) += seconds;
            }
            if (d->options.lightMode) {
                for (int r : step.release) {
                    pool.release(roots[r]);
                    roots[r] = nullptr;
                }
            }
        }
    } catch (const dnnl::error &e) {
        return fail(e.what());
    } catch (const std::bad_alloc &) {
        return fail("out of memory", kOutOfMemory);
    }
    for (float *&r : roots) {
        pool.release(r);
        r = nullptr;
    }
    return 0;
}

} // namespace brivelle::onednn
