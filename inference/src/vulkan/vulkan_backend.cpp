// Runs a whole graph on one Vulkan device: the wanted blob's inputs are uploaded once, every layer
// runs as GPU kernels on device buffers, and only the wanted blob comes back.
#include "backend.h"
#include "device.h"
#include "gpu_layers.h"
#include "layers/binaryop.h"
#include "layers/concat.h"
#include "layers/convolution.h"
#include "layers/crop.h"
#include "layers/eltwise.h"
#include "layers/interp.h"
#include "layers/padding.h"
#include "layers/pixelshuffle.h"
#include "layers/prelu.h"
#include "layers/reorg.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

namespace ncnn {

namespace {

using brivelle::vk::BufferRef;
using brivelle::vk::Stream;
using brivelle::vk::Tensor;

// How one layer runs on the GPU.
enum class Kind {
    Unsupported,
    Input,
    Alias,
    Convolution,
    Eltwise,
    BinaryOp,
    PReLU,
    Concat,
    Interp,
    PixelShuffle,
    Reorg,
    Padding,
    Crop
};

struct Step {
    Kind kind = Kind::Unsupported;
    std::unique_ptr<brivelle::vk::Convolution> conv;
    // The slopes of PReLU, on the device.
    Tensor constant;
    // For an Eltwise or BinaryOp that adds a convolution's result: that convolution's layer, and the
    // index of the bottom it produces; -1 when nothing is fused.
    int fusedConv = -1;
    int fusedBottom = -1;
    // The sum's weights of the convolution's result and of the other blob.
    float fusedA = 1.f, fusedB = 1.f;
};

bool isPlain3d(const Mat &m)
{
    return m.dims == 3 && m.elemsize == 4 && m.elempack == 1 && m.data;
}

Kind kindOf(const Layer &layer)
{
    const std::string &t = layer.type;
    if (t == "Input")
        return Kind::Input;
    if (t == "Split" || t == "Dropout" || t == "Noop")
        return Kind::Alias;
    if (t == "Convolution") {
        const auto &c = static_cast<const ncnn::Convolution &>(layer);
        return c.group == 1 ? Kind::Convolution : Kind::Unsupported;
    }
    if (t == "Eltwise")
        return Kind::Eltwise;
    if (t == "BinaryOp")
        return Kind::BinaryOp;
    if (t == "PReLU")
        return Kind::PReLU;
    if (t == "Concat")
        return Kind::Concat;
    if (t == "Interp")
        return static_cast<const Interp &>(layer).resize_type <= 2 ? Kind::Interp : Kind::Unsupported;
    if (t == "PixelShuffle")
        return Kind::PixelShuffle;
    if (t == "Reorg")
        return Kind::Reorg;
    if (t == "Padding")
        return Kind::Padding;
    if (t == "Crop")
        return Kind::Crop;
    return Kind::Unsupported;
}

brivelle::vk::ConvParams convParams(const ncnn::Convolution &c)
{
    brivelle::vk::ConvParams p;
    p.outch = c.num_output;
    p.inch = c.input_channels();
    p.kw = c.kernel_w;
    p.kh = c.kernel_h;
    p.dx = c.dilation_w;
    p.dy = c.dilation_h;
    p.sx = c.stride_w;
    p.sy = c.stride_h;
    p.padl = c.pad_left;
    p.padr = c.pad_right;
    p.padt = c.pad_top;
    p.padb = c.pad_bottom;
    p.padValue = c.pad_value;
    p.act = c.activation_type;
    p.actA = c.activation_params.size() > 0 ? c.activation_params[0] : 0.f;
    p.actB = c.activation_params.size() > 1 ? c.activation_params[1] : 0.f;
    // ncnn's defaults where a model leaves the parameters out.
    if (p.act == 3 && c.activation_params.size() < 2) {
        p.actA = -3.402823466e+38f;
        p.actB = 3.402823466e+38f;
    }
    if (p.act == 6 && c.activation_params.size() < 2) {
        p.actA = 0.2f;
        p.actB = 0.5f;
    }
    return p;
}

class VulkanPlan : public ExecutionPlan {
public:
    VulkanPlan(const Graph &graph, const VulkanDevice &device)
        : graph_(graph), device_(device), generation_(brivelle::vk::instance_generation())
    {}

    int compile(const Option &opt, std::string &err);
    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override;

private:
    int runLayer(Stream &s, int li, std::vector<Tensor> &live, const Tensor &preset, std::string &err) const;
    void findConcatGroups();
    bool fusable(int eltwiseLayer, const std::vector<Mat> &blobs, int wanted) const;

    const Graph &graph_;
    const VulkanDevice &device_;
    std::vector<Step> steps_;
    std::unique_ptr<ExecutionPlan> fallback_;
    // The instance this plan's buffers and pipelines belong to.
    uint64_t generation_;

    // Channel concatenations that share their inputs, as the dense blocks of RRDBNet do: one buffer
    // holds them all, the first input is copied in, the convolutions behind the others write straight
    // into it, and each Concat is a prefix of it; nothing else is copied.
    struct ConcatGroup {
        std::vector<int> roots;
        std::vector<int> concats;
    };
    std::vector<ConcatGroup> groups_;
    std::vector<int> rootGroup_, rootIndex_, concatGroup_;
};

int VulkanPlan::compile(const Option &opt, std::string &err)
{
    fallback_ = reference_backend().compile(graph_, opt, nullptr, err);
    steps_.resize(graph_.layers.size());
    for (size_t li = 0; li < graph_.layers.size(); li++) {
        const Layer &layer = *graph_.layers[li];
        Step &st = steps_[li];
        st.kind = kindOf(layer);
        if (st.kind == Kind::Convolution) {
            const auto &c = static_cast<const ncnn::Convolution &>(layer);
            if (c.weight_data.elemsize != 4 || (c.bias_term && c.bias_data.elemsize != 4)) {
                err = "layer " + layer.name + ": weights are not fp32";
                return -1;
            }
            const brivelle::vk::ConvParams p = convParams(c);
            st.conv = std::make_unique<brivelle::vk::Convolution>();
            if (st.conv->create(device_, p, static_cast<const float *>(c.weight_data.data),
                                c.bias_term ? static_cast<const float *>(c.bias_data.data) : nullptr) != 0) {
                err = "layer " + layer.name + ": cannot upload the weights to the GPU";
                return -100;
            }
        } else if (st.kind == Kind::PReLU) {
            const auto &pr = static_cast<const PReLU &>(layer);
            Stream s(device_);
            if (!brivelle::vk::allocate(s, st.constant, 1, 1, pr.num_slope) ||
                s.upload(pr.slope_data.data, size_t(pr.num_slope) * sizeof(float), st.constant.buf) != 0 ||
                s.finish() != 0) {
                err = "layer " + layer.name + ": cannot upload the slopes to the GPU";
                return -100;
            }
        }
    }

    // A convolution whose only reader adds it to another blob writes the sum itself: one pass over
    // the output instead of two. Residual blocks are made of these.
    for (size_t li = 0; li < graph_.layers.size(); li++) {
        const Layer &layer = *graph_.layers[li];
        Step &st = steps_[li];
        float ca = 1.f, cb = 1.f;
        if (st.kind == Kind::Eltwise) {
            const auto &e = static_cast<const Eltwise &>(layer);
            if (e.op_type != Eltwise::Operation_SUM || layer.bottoms.size() != 2)
                continue;
            if (e.coeffs.size() == 2) {
                ca = e.coeffs[0];
                cb = e.coeffs[1];
            }
        } else if (st.kind == Kind::BinaryOp) {
            const auto &b = static_cast<const BinaryOp &>(layer);
            if (b.op_type != BinaryOp::Operation_ADD || b.with_scalar || layer.bottoms.size() != 2)
                continue;
        } else {
            continue;
        }
        for (int k = 0; k < 2; k++) {
            const GraphBlob &blob = graph_.blobs[size_t(layer.bottoms[size_t(k)])];
            if (blob.producer < 0 || blob.consumers.size() != 1 || layer.bottoms[0] == layer.bottoms[1])
                continue;
            Step &producer = steps_[size_t(blob.producer)];
            if (producer.kind != Kind::Convolution)
                continue;
            st.fusedA = k == 0 ? ca : cb;
            st.fusedB = k == 0 ? cb : ca;
            st.fusedConv = blob.producer;
            st.fusedBottom = k;
            break;
        }
    }
    findConcatGroups();
    return 0;
}

void VulkanPlan::findConcatGroups()
{
    const size_t layerCount = graph_.layers.size();
    rootGroup_.assign(graph_.blobs.size(), -1);
    rootIndex_.assign(graph_.blobs.size(), -1);
    concatGroup_.assign(layerCount, -1);
    // The blob behind any chain of Splits.
    auto rootOf = [&](int b) {
        for (;;) {
            const int p = graph_.blobs[size_t(b)].producer;
            if (p < 0 || steps_[size_t(p)].kind != Kind::Alias)
                return b;
            b = graph_.layers[size_t(p)]->bottoms[0];
        }
    };
    struct Cat {
        int layer;
        std::vector<int> roots;
    };
    std::vector<Cat> cats;
    for (size_t li = 0; li < layerCount; li++) {
        const Layer &layer = *graph_.layers[li];
        if (steps_[li].kind != Kind::Concat || layer.bottoms.size() < 2)
            continue;
        const int axis = static_cast<const Concat &>(layer).axis;
        if (axis != 0 && axis != -3)
            continue;
        Cat c{int(li), {}};
        for (int b : layer.bottoms)
            c.roots.push_back(rootOf(b));
        cats.push_back(c);
    }
    std::stable_sort(cats.begin(), cats.end(),
                     [](const Cat &a, const Cat &b) { return a.roots.size() > b.roots.size(); });
    std::vector<char> taken(cats.size(), 0);
    for (size_t i = 0; i < cats.size(); i++) {
        if (taken[i])
            continue;
        ConcatGroup g;
        g.roots = cats[i].roots;
        std::vector<size_t> members = {i};
        for (size_t j = i + 1; j < cats.size(); j++) {
            const std::vector<int> &r = cats[j].roots;
            if (!taken[j] && std::equal(r.begin(), r.end(), g.roots.begin()))
                members.push_back(j);
        }
        std::vector<char> inGroup(layerCount, 0);
        for (size_t m : members)
            inGroup[size_t(cats[m].layer)] = 1;
        // Every input but the first must come from a convolution and be read by this group's Concats
        // alone, and no blob may appear twice.
        bool ok = members.size() >= 2;
        std::function<bool(int)> readOnlyByGroup = [&](int b) {
            for (int c : graph_.blobs[size_t(b)].consumers) {
                if (steps_[size_t(c)].kind == Kind::Alias) {
                    for (int t : graph_.layers[size_t(c)]->tops)
                        if (!readOnlyByGroup(t))
                            return false;
                } else if (!inGroup[size_t(c)]) {
                    return false;
                }
            }
            return true;
        };
        for (size_t k = 0; k < g.roots.size() && ok; k++) {
            const int r = g.roots[k];
            ok = rootGroup_[size_t(r)] < 0 && std::count(g.roots.begin(), g.roots.end(), r) == 1;
            if (ok && k > 0) {
                const int p = graph_.blobs[size_t(r)].producer;
                ok = p >= 0 && steps_[size_t(p)].kind == Kind::Convolution && readOnlyByGroup(r);
            }
        }
        if (!ok)
            continue;
        const int gi = int(groups_.size());
        for (size_t k = 0; k < g.roots.size(); k++) {
            rootGroup_[size_t(g.roots[k])] = gi;
            rootIndex_[size_t(g.roots[k])] = int(k);
        }
        for (size_t m : members) {
            taken[m] = 1;
            concatGroup_[size_t(cats[m].layer)] = gi;
            g.concats.push_back(cats[m].layer);
        }
        groups_.push_back(g);
    }
}

bool VulkanPlan::fusable(int li, const std::vector<Mat> &blobs, int wanted) const
{
    const Step &st = steps_[size_t(li)];
    if (st.fusedConv < 0)
        return false;
    const int blob = graph_.layers[size_t(li)]->bottoms[size_t(st.fusedBottom)];
    // The convolution's own result must not be asked for or already known.
    return blob != wanted && blobs[size_t(blob)].empty();
}

int VulkanPlan::runLayer(Stream &s, int li, std::vector<Tensor> &live, const Tensor &preset,
                         std::string &err) const
{
    const Layer &layer = *graph_.layers[size_t(li)];
    const Step &st = steps_[size_t(li)];
    std::vector<Shape> inShapes, outShapes(layer.tops.size());
    for (int b : layer.bottoms) {
        const Tensor &t = live[size_t(b)];
        inShapes.push_back(Shape{3, t.w, t.h, t.c});
    }
    // A fused convolution has not produced its blob; its shape follows from its input.
    const bool fused = st.fusedConv >= 0 && live[size_t(layer.bottoms[size_t(st.fusedBottom)])].empty();
    if (fused) {
        const Tensor &convIn = live[size_t(graph_.layers[size_t(st.fusedConv)]->bottoms[0])];
        Shape &sh = inShapes[size_t(st.fusedBottom)];
        int padl, padt;
        sh.c = steps_[size_t(st.fusedConv)].conv->params().outch;
        if (!steps_[size_t(st.fusedConv)].conv->outputShape(convIn.w, convIn.h, sh.w, sh.h, padl, padt)) {
            err = "layer " + graph_.layers[size_t(st.fusedConv)]->name + ": input shapes do not fit";
            return LAYER_BAD_SHAPE;
        }
    }
    if (st.kind != Kind::Alias && !layer.infer_shape(inShapes, outShapes)) {
        err = "layer " + layer.name + ": input shapes do not fit";
        return LAYER_BAD_SHAPE;
    }
    auto in = [&](size_t k) -> const Tensor & {
        return live[size_t(layer.bottoms[k])];
    };
    Tensor out = preset;
    if (st.kind != Kind::Alias && st.kind != Kind::Convolution && preset.empty()) {
        if (outShapes.size() != 1 || outShapes[0].dims != 3) {
            err = "layer " + layer.name + ": only 3-D blobs run on the GPU";
            return LAYER_BAD_SHAPE;
        }
        if (!brivelle::vk::allocate(s, out, outShapes[0].w, outShapes[0].h, outShapes[0].c)) {
            err = "layer " + layer.name + ": out of GPU memory";
            return LAYER_OUT_OF_MEMORY;
        }
    }
    // The sum a convolution took over: the convolution runs here and adds the other operand.
    auto forwardFusedConvolution = [&] {
        const Layer &convLayer = *graph_.layers[size_t(st.fusedConv)];
        const Tensor &other = in(size_t(1 - st.fusedBottom));
        return steps_[size_t(st.fusedConv)].conv->forward(s, live[size_t(convLayer.bottoms[0])], out, &other,
                                                          st.fusedA, st.fusedB);
    };
    int rc = 0;
    switch (st.kind) {
    case Kind::Unsupported:
    case Kind::Input:
        err = "layer " + layer.name + ": not supported on the GPU";
        return LAYER_ERROR;
    case Kind::Alias:
        for (int t : layer.tops)
            live[size_t(t)] = in(0);
        return 0;
    case Kind::Convolution:
        rc = st.conv->forward(s, in(0), out, nullptr);
        break;
    case Kind::Eltwise: {
        const auto &e = static_cast<const Eltwise &>(layer);
        if (fused) {
            rc = forwardFusedConvolution();
            break;
        }
        const int op = e.op_type == Eltwise::Operation_PROD  ? 2
                       : e.op_type == Eltwise::Operation_MAX ? 4
                                                             : 21;
        auto coeff = [&](size_t k) {
            return k < e.coeffs.size() ? e.coeffs[k] : 1.f;
        };
        rc = brivelle::vk::binary(s, op, in(0), in(1), 0.f, out, coeff(0), coeff(1));
        for (size_t k = 2; k < layer.bottoms.size() && rc == 0; k++)
            rc = brivelle::vk::binary(s, op, out, in(k), 0.f, out, 1.f, coeff(k));
        break;
    }
    case Kind::BinaryOp: {
        const auto &b = static_cast<const BinaryOp &>(layer);
        if (fused) {
            rc = forwardFusedConvolution();
            break;
        }
        if (b.with_scalar || layer.bottoms.size() == 1)
            rc = brivelle::vk::binary(s, b.op_type, in(0), Tensor{}, b.b, out);
        else
            rc = brivelle::vk::binary(s, b.op_type, in(0), in(1), 0.f, out);
        break;
    }
    case Kind::PReLU:
        rc = brivelle::vk::binary(s, brivelle::vk::kPReLU, in(0), st.constant, 0.f, out);
        break;
    case Kind::Concat: {
        if (!preset.empty())
            break; // its inputs are in place already
        const auto &c = static_cast<const Concat &>(layer);
        const int axis = c.axis < 0 ? c.axis + 3 : c.axis;
        int offset = 0;
        for (size_t k = 0; k < layer.bottoms.size() && rc == 0; k++) {
            const Tensor &t = in(k);
            rc = brivelle::vk::place(s, t, out, axis == 2 ? offset : 0, axis == 1 ? offset : 0,
                                     axis == 0 ? offset : 0);
            offset += axis == 0 ? t.c : axis == 1 ? t.h : t.w;
        }
        break;
    }
    case Kind::Interp: {
        const auto &ip = static_cast<const Interp &>(layer);
        const Tensor &t = in(0);
        float sx, sy;
        if (ip.resize_type == 2 && ip.align_corner) {
            sx = out.w > 1 ? float(t.w - 1) / float(out.w - 1) : 0.f;
            sy = out.h > 1 ? float(t.h - 1) / float(out.h - 1) : 0.f;
        } else {
            sx = ip.output_width ? float(t.w) / float(out.w) : 1.f / ip.width_scale;
            sy = ip.output_height ? float(t.h) / float(out.h) : 1.f / ip.height_scale;
        }
        rc = brivelle::vk::interp(s, t, out, ip.resize_type, ip.align_corner != 0, sx, sy);
        break;
    }
    case Kind::PixelShuffle: {
        const auto &ps = static_cast<const PixelShuffle &>(layer);
        rc = brivelle::vk::shuffle(s, in(0), out, true, ps.mode, ps.upscale_factor);
        break;
    }
    case Kind::Padding: {
        const auto &pd = static_cast<const Padding &>(layer);
        rc = brivelle::vk::pad(s, in(0), out, pd.left, pd.top, pd.front, pd.type, pd.value);
        break;
    }
    case Kind::Crop: {
        const auto &cr = static_cast<const Crop &>(layer);
        int start[3], size[3];
        if (!cr.window(Shape{3, in(0).w, in(0).h, in(0).c}, start, size)) {
            rc = LAYER_BAD_SHAPE;
            break;
        }
        rc = brivelle::vk::pad(s, in(0), out, -start[2], -start[1], -start[0], 0, 0.f);
        break;
    }
    case Kind::Reorg: {
        const auto &ro = static_cast<const Reorg &>(layer);
        rc = brivelle::vk::shuffle(s, in(0), out, false, ro.mode, ro.stride);
        break;
    }
    }
    if (rc != 0) {
        err = "layer " + layer.name +
              (rc == LAYER_OUT_OF_MEMORY ? ": out of GPU memory" : ": GPU dispatch failed");
        return rc == LAYER_OUT_OF_MEMORY ? rc : LAYER_ERROR;
    }
    live[size_t(layer.tops[0])] = out;
    return 0;
}

int VulkanPlan::run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err)
{
    if (wanted < 0 || size_t(wanted) >= blobs.size() || blobs.size() != graph_.blobs.size()) {
        err = "no such blob";
        return LAYER_ERROR;
    }
    if (!blobs[size_t(wanted)].empty())
        return 0;
    if (generation_ != brivelle::vk::instance_generation()) {
        err = "the GPU instance was destroyed after this network was set up; load it again";
        return LAYER_ERROR;
    }

    // The layers that lead from the known blobs to the wanted one.
    const size_t layerCount = graph_.layers.size();
    std::vector<char> neededBlob(blobs.size(), 0), neededLayer(layerCount, 0);
    neededBlob[size_t(wanted)] = 1;
    for (size_t i = layerCount; i-- > 0;) {
        const Layer &layer = *graph_.layers[i];
        bool needed = false;
        for (int t : layer.tops)
            needed = needed || (neededBlob[size_t(t)] && blobs[size_t(t)].empty());
        if (!needed)
            continue;
        neededLayer[i] = 1;
        for (int b : layer.bottoms)
            neededBlob[size_t(b)] = 1;
    }
    std::vector<int> uploads;
    for (size_t b = 0; b < blobs.size(); b++) {
        if (!neededBlob[b])
            continue;
        if (!blobs[b].empty()) {
            if (!isPlain3d(blobs[b]))
                return fallback_ ? fallback_->run(blobs, wanted, opt, err) : LAYER_BAD_SHAPE;
            uploads.push_back(int(b));
        } else if (graph_.blobs[b].producer < 0 ||
                   graph_.layers[size_t(graph_.blobs[b].producer)]->type == "Input") {
            err = "input blob '" + graph_.blobs[b].name + "' was not set";
            return LAYER_ERROR;
        }
    }

    // Fused pairs: the Eltwise runs the convolution, which then has nothing to do.
    std::vector<char> fusedAway(layerCount, 0);
    for (size_t i = 0; i < layerCount; i++) {
        if (neededLayer[i] && fusable(int(i), blobs, wanted))
            fusedAway[size_t(steps_[i].fusedConv)] = 1;
    }

    // Readers left for each blob; a buffer goes back to the stream when no blob sharing it has any.
    std::vector<int> readers(blobs.size(), 0);
    for (size_t i = 0; i < layerCount; i++) {
        if (!neededLayer[i] || fusedAway[i])
            continue;
        const Layer &layer = *graph_.layers[i];
        if (steps_[i].fusedConv >= 0 && fusedAway[size_t(steps_[i].fusedConv)]) {
            readers[size_t(graph_.layers[size_t(steps_[i].fusedConv)]->bottoms[0])]++;
            for (size_t k = 0; k < layer.bottoms.size(); k++)
                if (int(k) != steps_[i].fusedBottom)
                    readers[size_t(layer.bottoms[k])]++;
            continue;
        }
        for (int b : layer.bottoms)
            readers[size_t(b)]++;
    }

    Stream s(device_);
    std::vector<Tensor> live(blobs.size());
    std::map<const brivelle::vk::Buffer *, int> sharing;
    auto hold = [&](int blob) {
        if (live[size_t(blob)].buf)
            sharing[live[size_t(blob)].buf.get()]++;
    };
    auto drop = [&](int blob) {
        Tensor &t = live[size_t(blob)];
        if (!t.buf || blob == wanted)
            return;
        auto it = sharing.find(t.buf.get());
        if (it != sharing.end() && --it->second == 0) {
            sharing.erase(it);
            s.retire(t.buf);
        }
        t = Tensor{};
    };

    // Concat groups are skipped when one of their blobs is asked for or given: those must stand alone.
    bool useGroups = !groups_.empty();
    auto grouped = [&](int b) {
        for (;;) {
            if (rootGroup_[size_t(b)] >= 0)
                return true;
            const int p = graph_.blobs[size_t(b)].producer;
            if (p < 0 || steps_[size_t(p)].kind != Kind::Alias)
                return false;
            b = graph_.layers[size_t(p)]->bottoms[0];
        }
    };
    for (size_t b = 0; b < blobs.size() && useGroups; b++) {
        if ((!blobs[b].empty() || int(b) == wanted) && grouped(int(b)))
            useGroups = false;
    }
    struct GroupState {
        Tensor arena;
        std::vector<int> channelStart;
        size_t concatsLeft = 0;
    };
    std::vector<GroupState> groups(groups_.size());
    auto startGroup = [&](int blob) -> int {
        const int g = useGroups ? rootGroup_[size_t(blob)] : -1;
        if (g < 0 || rootIndex_[size_t(blob)] != 0 || !groups[size_t(g)].arena.empty())
            return 0;
        const Tensor &first = live[size_t(blob)];
        GroupState &gs = groups[size_t(g)];
        int channels = 0;
        for (int r : groups_[size_t(g)].roots) {
            gs.channelStart.push_back(channels);
            const int p = graph_.blobs[size_t(r)].producer;
            channels += r == blob ? first.c : steps_[size_t(p)].conv->params().outch;
        }
        if (!brivelle::vk::allocate(s, gs.arena, first.w, first.h, channels)) {
            err = "out of GPU memory for a concatenation";
            return LAYER_OUT_OF_MEMORY;
        }
        gs.concatsLeft = groups_[size_t(g)].concats.size();
        sharing[gs.arena.buf.get()]++;
        return brivelle::vk::place(s, first, gs.arena, 0, 0, 0) == 0 ? 0 : LAYER_ERROR;
    };
    // Where a layer's result goes when it belongs to a concat group: a view into the group's buffer.
    auto presetFor = [&](size_t li) {
        Tensor view;
        const Layer &layer = *graph_.layers[li];
        if (!useGroups)
            return view;
        if (steps_[li].kind == Kind::Convolution) {
            const int top = layer.tops[0];
            const int g = rootGroup_[size_t(top)];
            if (g < 0 || groups[size_t(g)].arena.empty())
                return view;
            const GroupState &gs = groups[size_t(g)];
            const Tensor &in = live[size_t(layer.bottoms[0])];
            int outw, outh, padl, padt;
            if (!steps_[li].conv->outputShape(in.w, in.h, outw, outh, padl, padt) || outw != gs.arena.w ||
                outh != gs.arena.h)
                return view;
            view = gs.arena;
            view.c = steps_[li].conv->params().outch;
            view.offset =
                size_t(gs.channelStart[size_t(rootIndex_[size_t(top)])]) * size_t(outw) * size_t(outh);
        } else if (concatGroup_[li] >= 0 && !groups[size_t(concatGroup_[li])].arena.empty()) {
            const GroupState &gs = groups[size_t(concatGroup_[li])];
            view = gs.arena;
            view.c = 0;
            for (int b : layer.bottoms)
                view.c += live[size_t(b)].c;
        }
        return view;
    };

    // One upload: every known input is packed into one staging copy per blob.
    for (int b : uploads) {
        const Mat &m = blobs[size_t(b)];
        Tensor &t = live[size_t(b)];
        if (!brivelle::vk::allocate(s, t, m.w, m.h, m.c)) {
            err = "out of GPU memory for input '" + graph_.blobs[size_t(b)].name + "'";
            return LAYER_OUT_OF_MEMORY;
        }
        const size_t plane = size_t(m.w) * m.h;
        int rc;
        if (m.cstep == plane) {
            rc = s.upload(m.data, t.bytes(), t.buf);
        } else {
            std::vector<float> packed(t.count());
            for (int q = 0; q < m.c; q++)
                std::memcpy(&packed[plane * q], static_cast<const float *>(m.data) + m.cstep * q,
                            plane * sizeof(float));
            rc = s.upload(packed.data(), t.bytes(), t.buf);
        }
        if (rc != 0) {
            err = "cannot upload input '" + graph_.blobs[size_t(b)].name + "'";
            return LAYER_OUT_OF_MEMORY;
        }
        hold(b);
        if (const int grc = startGroup(b); grc != 0)
            return grc;
    }

    for (size_t i = 0; i < layerCount; i++) {
        if (!neededLayer[i] || fusedAway[i] || steps_[i].kind == Kind::Input)
            continue;
        const Layer &layer = *graph_.layers[i];
        const Tensor preset = presetFor(i);
        const int rc = runLayer(s, int(i), live, preset, err);
        if (rc != 0)
            return rc;
        for (int t : layer.tops) {
            hold(t);
            if (const int grc = startGroup(t); grc != 0)
                return grc;
        }
        if (!preset.empty() && concatGroup_[i] >= 0) {
            GroupState &gs = groups[size_t(concatGroup_[i])];
            // After the group's last Concat only its views keep the buffer.
            if (--gs.concatsLeft == 0) {
                auto it = sharing.find(gs.arena.buf.get());
                if (it != sharing.end() && --it->second == 0) {
                    sharing.erase(it);
                    s.retire(gs.arena.buf);
                }
            }
        }
        // Inputs whose last reader this was are dead now.
        auto consumed = [&](int b) {
            if (--readers[size_t(b)] <= 0 && opt.lightmode)
                drop(b);
        };
        if (steps_[i].fusedConv >= 0 && fusedAway[size_t(steps_[i].fusedConv)]) {
            consumed(graph_.layers[size_t(steps_[i].fusedConv)]->bottoms[0]);
            for (size_t k = 0; k < layer.bottoms.size(); k++)
                if (int(k) != steps_[i].fusedBottom)
                    consumed(layer.bottoms[k]);
        } else {
            for (int b : layer.bottoms)
                consumed(b);
        }
        // Results nobody reads (other tops of a Split) are dead at once.
        for (int t : layer.tops)
            if (readers[size_t(t)] == 0 && t != wanted && opt.lightmode)
                drop(t);
    }

    // One download: the wanted blob.
    const Tensor &result = live[size_t(wanted)];
    if (result.empty() || result.offset != 0) {
        err = "blob '" + graph_.blobs[size_t(wanted)].name + "' was not computed";
        return LAYER_ERROR;
    }
    std::vector<float> host(result.count());
    if (s.download(result.buf, result.bytes(), host.data()) != 0) {
        err = "out of memory for the download of '" + graph_.blobs[size_t(wanted)].name + "'";
        return LAYER_OUT_OF_MEMORY;
    }
    if (s.finish() != 0) {
        err = "the GPU failed while running the network";
        return LAYER_ERROR;
    }
    Mat out;
    out.create(result.w, result.h, result.c, 4u, opt.blob_allocator);
    if (out.empty()) {
        err = "out of memory for the result";
        return LAYER_OUT_OF_MEMORY;
    }
    const size_t plane = size_t(result.w) * result.h;
    for (int q = 0; q < result.c; q++)
        std::memcpy(static_cast<float *>(out.data) + out.cstep * q, &host[plane * q], plane * sizeof(float));
    blobs[size_t(wanted)] = out;
    return 0;
}

class VulkanBackend : public Backend {
public:
    const char *name() const override { return "vulkan"; }
    int priority() const override { return 300; }

    bool supports(const Graph &graph, const Option &opt, const VulkanDevice *vkdev) const override
    {
        // A device of an instance destroyed since it was bound is no device.
        if (!vkdev || !opt.use_vulkan_compute || graph.empty() || !brivelle::vk::is_live_device(vkdev))
            return false;
        for (const auto &layer : graph.layers) {
            if (kindOf(*layer) == Kind::Unsupported)
                return false;
        }
        return true;
    }

    std::unique_ptr<ExecutionPlan> compile(const Graph &graph, const Option &opt, const VulkanDevice *vkdev,
                                           std::string &err) const override
    {
        if (!vkdev || !brivelle::vk::is_live_device(vkdev)) {
            err = "no Vulkan device";
            return nullptr;
        }
        auto plan = std::make_unique<VulkanPlan>(graph, *vkdev);
        if (plan->compile(opt, err) != 0)
            return nullptr;
        return plan;
    }
};

} // namespace

const Backend &vulkan_backend()
{
    static const VulkanBackend backend;
    return backend;
}

} // namespace ncnn
