// The oneDNN backend: translates the loaded graph into FastGraph once, then serves each input shape
// from a bounded cache of compiled plans. Graphs or inputs outside its reach run on the reference path.

#include "cpu/onednn/onednn_backend.h"

#include "backend.h"
#include "cpu/onednn/lowering.h"
#include "cpu/onednn/plan_cache.h"

#include <ncnn/allocator.h>

#include <algorithm>

namespace ncnn {

namespace {

using brivelle::onednn::FastGraph;
using brivelle::onednn::FastOp;
using brivelle::onednn::OpType;

// Each layer as its operator's file describes it; a type without one runs its reference layer inside the
// plan, between its oneDNN neighbours.
int translate(const Layer &layer, bool withWeights, FastOp &op, std::string &why)
{
    op.name = layer.name;
    op.bottoms = layer.bottoms;
    op.tops = layer.tops;
    op.layer = &layer;
    op.type = OpType::Reference;
    const brivelle::onednn::OnednnOperator *entry = brivelle::onednn::findOnednnOperator(layer.type);
    return entry ? entry->describe(layer, withWeights, op, why) : 0;
}

bool translate(const Graph &graph, bool withWeights, FastGraph &out, std::string &why)
{
    out.blobCount = static_cast<int>(graph.blobs.size());
    out.ops.clear();
    out.ops.reserve(graph.layers.size());
    for (const auto &layer : graph.layers) {
        FastOp op;
        if (translate(*layer, withWeights, op, why) != 0) {
            why = layer->name + ": " + why;
            return false;
        }
        // Parameters oneDNN cannot take (bilinear resizing, say) leave only this layer to the reference.
        const auto check = brivelle::onednn::loweringOf(op.type).check;
        if (check && !check(op).empty())
            op.type = OpType::Reference;
        out.ops.push_back(std::move(op));
    }
    return brivelle::onednn::checkGraph(out, why) == 0;
}

class OnednnPlan : public ExecutionPlan {
public:
    OnednnPlan(const Graph &graph, FastGraph fast, std::unique_ptr<ExecutionPlan> fallback)
        : graph_(graph), fallback_(std::move(fallback))
    {
        for (const FastOp &op : fast.ops)
            if (op.type == OpType::Input)
                inputs_.insert(inputs_.end(), op.tops.begin(), op.tops.end());
        cache_ = std::make_unique<brivelle::onednn::PlanCache>(std::move(fast));
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
        auto plan = cache_->get(shapes, {wanted}, options, &why);
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
            ret = plan->run(views, allocateOutput, cache_->pool(), &why, nullptr, opt.stop_request);
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
    std::unique_ptr<brivelle::onednn::PlanCache> cache_;
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

    bool runs_layer(const Layer &layer) const override
    {
        FastOp op;
        std::string why;
        if (translate(layer, false, op, why) != 0 || op.type == OpType::Reference)
            return false;
        const auto check = brivelle::onednn::loweringOf(op.type).check;
        return !check || check(op).empty();
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
