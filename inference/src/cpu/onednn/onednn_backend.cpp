// The oneDNN backend: serves each input shape of the loaded graph from a bounded cache of compiled plans,
// whose layers read their reference layers' parameters. Inputs outside its reach run on the reference path.

#include "backend.h"
#include "cpu/onednn/lowering.h"
#include "cpu/onednn/plan_cache.h"

#include <ncnn/allocator.h>
#include <ncnn/cpu.h>

#include <algorithm>

namespace ncnn {

namespace {

class OnednnPlan : public ExecutionPlan {
public:
    OnednnPlan(const Graph &graph, std::unique_ptr<ExecutionPlan> fallback)
        : graph_(graph), cache_(std::make_unique<brivelle::onednn::PlanCache>(graph)),
          fallback_(std::move(fallback))
    {
        for (const auto &layer : graph.layers) {
            if (layer->role() == Role::Input)
                inputs_.insert(inputs_.end(), layer->tops.begin(), layer->tops.end());
        }
    }

    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override
    {
        if (const int rc = begin_run(graph_, blobs, wanted, opt, err); rc != 0)
            return rc < 0 ? rc : 0;
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
        // bf16 only where the CPU multiplies it: oneDNN's emulation elsewhere is slower than fp32.
        options.precision = opt.use_bf16_storage && cpu_support_bf16() ? Storage::Bf16 : Storage::Fp32;
        std::string why;
        std::shared_ptr<brivelle::onednn::Plan> plan;
        if (cache_->get(shapes, {wanted}, options, plan, why) != 0)
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
            ret = plan->run(views, allocateOutput, pool, why, nullptr, opt.stop_request, opt.progress);
        } else {
            ret = plan->run(views, allocateOutput, cache_->pool(), why, nullptr, opt.stop_request,
                            opt.progress);
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

    bool supports(const Layer &layer, const std::vector<Shape> &in, const Shape &out,
                  std::string &why) const override
    {
        return brivelle::onednn::supportsLayer(layer, in, out, why);
    }

    std::unique_ptr<ExecutionPlan> compile(const Graph &graph, const Option &opt, const VulkanDevice *,
                                           std::string &err) const override
    {
        if (brivelle::onednn::Plan::check(graph, err) != 0)
            return nullptr;
        auto fallback = reference_backend().compile(graph, opt, nullptr, err);
        if (!fallback)
            return nullptr;
        return std::make_unique<OnednnPlan>(graph, std::move(fallback));
    }
};

} // namespace

const Backend &onednn_backend()
{
    static const OnednnBackend backend;
    return backend;
}

} // namespace ncnn
