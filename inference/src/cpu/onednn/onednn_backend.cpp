// The oneDNN backend: translates the loaded graph into FastGraph once, then serves each input shape
// from a bounded cache of compiled plans. Graphs or inputs outside its reach run on the reference path.

#include "cpu/onednn/onednn_backend.h"

#include "backend.h"
#include "cpu/onednn/lowering.h"
#include "cpu/onednn/plan_cache.h"
#include "layers/binaryop.h"
#include "layers/concat.h"
#include "layers/convolution.h"
#include "layers/eltwise.h"
#include "layers/interp.h"
#include "layers/pixelshuffle.h"
#include "layers/pooling.h"
#include "layers/prelu.h"
#include "layers/reorg.h"

#include <ncnn/allocator.h>

#include <algorithm>
#include <cfloat>
#include <cstring>

namespace ncnn {

namespace {

using brivelle::onednn::FastGraph;
using brivelle::onednn::FastOp;
using brivelle::onednn::OpType;

// ReLU, Clip and Dropout keep their parameters private to their source files: read them back by
// running the layer on two probe values.
bool probe(const Layer &layer, float a, float b, float &outA, float &outB)
{
    Mat m(2, 1, 1);
    if (m.empty())
        return false;
    m[0] = a;
    m[1] = b;
    Option opt;
    opt.num_threads = 1;
    if (layer.forward_inplace(m, opt) != 0)
        return false;
    outA = m[0];
    outB = m[1];
    return true;
}

std::vector<float> floatsOf(const Mat &m)
{
    // Parameter arrays are one-dimensional; total() would count the channel padding of a 3-D Mat.
    if (m.empty() || m.elemsize != 4 || m.elempack > 1 || m.dims > 2)
        return {};
    const float *p = m;
    return std::vector<float>(p, p + static_cast<size_t>(m.w) * (m.dims == 2 ? m.h : 1));
}

// A layer this path has no lowering for runs on its reference implementation inside the plan, between
// its oneDNN neighbours.
void runOnReference(const Layer &layer, FastOp &op)
{
    op.type = OpType::Reference;
    op.layer = &layer;
}

bool translate(const Layer &layer, bool withWeights, FastOp &op, std::string &why)
{
    op.name = layer.name;
    op.bottoms = layer.bottoms;
    op.tops = layer.tops;
    op.layer = &layer;
    const std::string &type = layer.type;
    if (type == "Input") {
        op.type = OpType::Input;
    } else if (type == "Split") {
        op.type = OpType::Split;
    } else if (type == "Noop") {
        op.type = OpType::Noop;
    } else if (type == "Convolution") {
        const auto &conv = static_cast<const Convolution &>(layer);
        const bool padded = conv.pad_left || conv.pad_right || conv.pad_top || conv.pad_bottom;
        // Grouped convolutions and padding with a value stay on the reference layer.
        if (conv.group != 1 || (padded && conv.pad_value != 0.f)) {
            runOnReference(layer, op);
            return true;
        }
        op.type = OpType::Convolution;
        op.outChannels = conv.num_output;
        op.kernelW = conv.kernel_w;
        op.kernelH = conv.kernel_h;
        op.dilationW = conv.dilation_w;
        op.dilationH = conv.dilation_h;
        op.strideW = conv.stride_w;
        op.strideH = conv.stride_h;
        op.padLeft = conv.pad_left;
        op.padRight = conv.pad_right;
        op.padTop = conv.pad_top;
        op.padBottom = conv.pad_bottom;
        op.activation.type = conv.activation_type;
        if (!conv.activation_params.empty())
            op.activation.a = conv.activation_params[0];
        if (conv.activation_params.size() > 1)
            op.activation.b = conv.activation_params[1];
        if (conv.activation_type == 6 && conv.activation_params.size() < 2) {
            op.activation.a = 1.f / 6.f;
            op.activation.b = 0.5f;
        }
        if (withWeights) {
            const Mat &w = conv.weight_data;
            if (w.empty() || w.elemsize != 4 || w.elempack > 1 || w.dims > 2 ||
                static_cast<size_t>(w.w) * (w.dims == 2 ? w.h : 1) !=
                    static_cast<size_t>(conv.weight_data_size)) {
                why = "weights not loaded as fp32";
                return false;
            }
            op.sharedWeights = static_cast<const float *>(w.data);
            op.sharedWeightCount = static_cast<size_t>(conv.weight_data_size);
            if (conv.bias_term) {
                op.bias = floatsOf(conv.bias_data);
                if (op.bias.size() != static_cast<size_t>(conv.num_output)) {
                    why = "bias not loaded";
                    return false;
                }
            }
        } else {
            // Shape only: the weight count decides the input channels later.
            op.weights.assign(1, 0.f);
            op.weights.resize(static_cast<size_t>(conv.num_output) * conv.kernel_w * conv.kernel_h);
        }
    } else if (type == "Concat") {
        op.type = OpType::Concat;
        op.axis = static_cast<const Concat &>(layer).axis;
    } else if (type == "Eltwise") {
        const auto &e = static_cast<const Eltwise &>(layer);
        op.type = OpType::Eltwise;
        op.operation = e.op_type;
        op.coeffs = e.coeffs;
    } else if (type == "BinaryOp") {
        const auto &b = static_cast<const BinaryOp &>(layer);
        op.type = OpType::BinaryOp;
        op.operation = b.op_type;
        op.withScalar = b.with_scalar != 0;
        op.scalar = b.b;
    } else if (type == "ReLU") {
        op.type = OpType::ReLU;
        float negative = 0.f, positive = 0.f;
        if (!probe(layer, -1.f, 1.f, negative, positive)) {
            why = "ReLU parameters";
            return false;
        }
        op.slope = -negative;
    } else if (type == "Clip") {
        op.type = OpType::Clip;
        if (!probe(layer, -FLT_MAX, FLT_MAX, op.minValue, op.maxValue)) {
            why = "Clip parameters";
            return false;
        }
    } else if (type == "Dropout") {
        float scale = 1.f, unused = 0.f;
        if (!probe(layer, 1.f, 1.f, scale, unused)) {
            why = "Dropout parameters";
            return false;
        }
        op.type = scale == 1.f ? OpType::Noop : OpType::BinaryOp;
        op.operation = 2;
        op.withScalar = true;
        op.scalar = scale;
    } else if (type == "Sigmoid") {
        op.type = OpType::Sigmoid;
    } else if (type == "PReLU") {
        const auto &p = static_cast<const PReLU &>(layer);
        op.type = OpType::PReLU;
        op.slopes = withWeights ? floatsOf(p.slope_data) : std::vector<float>(p.num_slope, 0.f);
        if (op.slopes.size() != static_cast<size_t>(p.num_slope)) {
            why = "PReLU slopes not loaded";
            return false;
        }
    } else if (type == "Interp") {
        const auto &in = static_cast<const Interp &>(layer);
        op.type = OpType::Interp;
        op.resizeType = in.resize_type;
        op.heightScale = in.height_scale;
        op.widthScale = in.width_scale;
        op.outHeight = in.output_height;
        op.outWidth = in.output_width;
        op.alignCorner = in.align_corner != 0;
    } else if (type == "PixelShuffle") {
        const auto &ps = static_cast<const PixelShuffle &>(layer);
        op.type = OpType::PixelShuffle;
        op.factor = ps.upscale_factor;
        op.mode = ps.mode;
    } else if (type == "Reorg") {
        const auto &r = static_cast<const Reorg &>(layer);
        op.type = OpType::Reorg;
        op.factor = r.stride;
        op.mode = r.mode;
    } else if (type == "Pooling") {
        const auto &p = static_cast<const Pooling &>(layer);
        op.type = OpType::Pooling;
        op.poolingType = p.pooling_type;
        op.globalPooling = p.global_pooling != 0;
        op.padMode = p.pad_mode;
        op.countIncludePad = p.avgpool_count_include_pad != 0;
        op.kernelW = p.kernel_w;
        op.kernelH = p.kernel_h;
        op.strideW = p.stride_w;
        op.strideH = p.stride_h;
        op.padLeft = p.pad_left;
        op.padRight = p.pad_right;
        op.padTop = p.pad_top;
        op.padBottom = p.pad_bottom;
        if (op.globalPooling)
            runOnReference(layer, op);
    } else {
        runOnReference(layer, op);
    }
    return true;
}

bool translate(const Graph &graph, bool withWeights, FastGraph &out, std::string &why)
{
    out.blobCount = static_cast<int>(graph.blobs.size());
    out.ops.clear();
    out.ops.reserve(graph.layers.size());
    for (const auto &layer : graph.layers) {
        FastOp op;
        if (!translate(*layer, withWeights, op, why)) {
            why = layer->name + ": " + why;
            return false;
        }
        // Parameters oneDNN cannot take (bilinear resizing, say) leave only this layer to the reference.
        const auto check = brivelle::onednn::loweringOf(op.type).check;
        if (check && !check(op).empty())
            runOnReference(*layer, op);
        out.ops.push_back(std::move(op));
    }
    why = brivelle::onednn::unsupportedReason(out);
    return why.empty();
}

class OnednnPlan : public ExecutionPlan {
public:
    OnednnPlan(const Graph &graph, FastGraph fast, std::unique_ptr<ExecutionPlan> fallback)
        : graph_(graph), cache_(std::move(fast)), fallback_(std::move(fallback))
    {
        for (const auto &layer : graph.layers)
            if (layer->type == "Input")
                for (int t : layer->tops)
                    inputs_.push_back(t);
    }

    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override
    {
        if (wanted < 0 || static_cast<size_t>(wanted) >= graph_.blobs.size() ||
            blobs.size() != graph_.blobs.size()) {
            err = "no such blob";
            return ERROR_FAILED;
        }
        if (!blobs[wanted].empty())
            return 0;
        // Results kept from an earlier extract, or inputs set on inner blobs, are the reference path's
        // business: this one always starts from the network's inputs.
        std::vector<std::pair<int, brivelle::onednn::Shape>> shapes;
        std::vector<std::pair<int, brivelle::onednn::TensorView>> views;
        for (size_t b = 0; b < blobs.size(); ++b) {
            const Mat &m = blobs[b];
            if (m.empty())
                continue;
            const bool isInput =
                std::find(inputs_.begin(), inputs_.end(), static_cast<int>(b)) != inputs_.end();
            if (!isInput || m.dims != 3 || m.elemsize != 4 || m.elempack > 1)
                return fallback_->run(blobs, wanted, opt, err);
            const brivelle::onednn::Shape s{m.c, m.h, m.w};
            shapes.emplace_back(static_cast<int>(b), s);
            views.emplace_back(static_cast<int>(b),
                               brivelle::onednn::TensorView{static_cast<float *>(m.data), s, m.cstep});
        }
        brivelle::onednn::PlanOptions options;
        options.numThreads = opt.num_threads > 0 ? opt.num_threads : 1;
        options.lightMode = opt.lightmode;
        options.tryWinograd = opt.use_winograd_convolution;
        std::string why;
        auto plan = cache_.get(shapes, {wanted}, options, &why);
        if (!plan)
            return fallback_->run(blobs, wanted, opt, err);

        // The result is allocated when the plan writes it, after the blobs it no longer needs went back.
        Mat out;
        const auto allocateOutput = [&out, &opt](int, brivelle::onednn::Shape s) {
            out.create(s.w, s.h, s.c, 4u, opt.blob_allocator);
            return out.empty() ? brivelle::onednn::TensorView{}
                               : brivelle::onednn::TensorView{static_cast<float *>(out.data), s, out.cstep};
        };
        int ret = 0;
        Allocator *allocator = opt.workspace_allocator ? opt.workspace_allocator : opt.blob_allocator;
        if (allocator) {
            // The caller watches every byte: blobs come from its allocator and go back after the run.
            brivelle::onednn::BufferPool pool(
                [allocator](size_t bytes) { return allocator->fastMalloc(bytes); },
                [allocator](void *p) { allocator->fastFree(p); });
            ret = plan->run(views, allocateOutput, pool, &why, nullptr, opt.stop_request);
        } else {
            ret = plan->run(views, allocateOutput, cache_.pool(), &why, nullptr, opt.stop_request);
        }
        if (ret != 0) {
            out.release();
            err = "oneDNN: " + why;
            return ret;
        }
        blobs[wanted] = out;
        return 0;
    }

private:
    const Graph &graph_;
    brivelle::onednn::PlanCache cache_;
    std::unique_ptr<ExecutionPlan> fallback_;
    std::vector<int> inputs_;
};

class OnednnBackend : public Backend {
public:
    const char *name() const override { return "onednn"; }
    int priority() const override { return 200; }

    bool supports(const Graph &graph, const Option &, const VulkanDevice *) const override
    {
        FastGraph fast;
        std::string why;
        return !graph.empty() && translate(graph, false, fast, why);
    }

    std::unique_ptr<ExecutionPlan> compile(const Graph &graph, const Option &opt, const VulkanDevice *,
                                           std::string &err) const override
    {
        FastGraph fast;
        if (!translate(graph, true, fast, err))
            return nullptr;
        auto fallback = reference_backend().compile(graph, opt, nullptr, err);
        if (!fallback)
            return nullptr;
        return std::make_unique<OnednnPlan>(graph, std::move(fast), std::move(fallback));
    }
};

} // namespace

} // namespace ncnn

bool brivelle::onednn::translateGraph(const ncnn::Graph &graph, FastGraph &out, std::string &why)
{
    return ncnn::translate(graph, true, out, why);
}

namespace ncnn {

const Backend &onednn_backend()
{
    static const OnednnBackend backend;
    return backend;
}

} // namespace ncnn
