#include "backend.h"
#include "planner.h"

#include <algorithm>
#include <vector>

namespace ncnn {

namespace {

std::string describe(const Layer &layer)
{
    return "layer " + layer.name + " (" + layer.type + ")";
}

// Runs the reference layers in file order. Its only state is the plan cache, which is thread-safe, so
// one plan serves any number of extractors.
class ReferencePlan : public ExecutionPlan {
public:
    explicit ReferencePlan(const Graph &graph) : g(graph), plans(graph, rules) {}

    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override
    {
        if (const int rc = begin_run(g, blobs, wanted, opt, err); rc != 0)
            return rc < 0 ? rc : 0;

        int code = 0;
        const std::shared_ptr<const ExtractPlan> plan = plans.get(known_shapes(blobs), wanted, code, err);
        if (!plan)
            return code;
        const int stepCount = int(plan->steps.size());
        int stepsDone = 0;
        for (int i : plan->steps) {
            if (stop_requested(opt)) {
                err = "stopped on request";
                return ERROR_CANCELLED;
            }
            const Layer &layer = *g.layers[size_t(i)];
            const std::vector<int> &dead = plan->releases[size_t(i)];
            auto isDead = [&dead](int b) {
                return std::find(dead.begin(), dead.end(), b) != dead.end();
            };
            std::vector<Mat> bottom_mats;
            bottom_mats.reserve(layer.bottoms.size());
            for (int b : layer.bottoms) {
                bottom_mats.push_back(blobs[b]);
                if (bottom_mats.back().empty()) {
                    err = describe(layer) + ": input blob '" + g.blobs[b].name + "' is empty";
                    return ERROR_BAD_INPUT;
                }
            }
            // Inputs read for the last time go before the layer runs, so that it may work in place.
            if (opt.lightmode)
                for (int b : layer.bottoms)
                    if (isDead(b))
                        blobs[b].release();
            std::vector<Mat> top_mats(layer.tops.size());
            const int ret = forward_on_host(layer, bottom_mats, top_mats, opt);
            if (ret != 0) {
                err = describe(layer) + (ret == ERROR_OUT_OF_MEMORY
                                             ? ": out of memory"
                                             : ": failed with code " + std::to_string(ret));
                return ret;
            }
            for (size_t k = 0; k < layer.tops.size(); k++) {
                const int t = layer.tops[k];
                if (top_mats[k].empty()) {
                    err = describe(layer) + ": produced no output '" + g.blobs[t].name + "'";
                    return ERROR_FAILED;
                }
                // Outputs nobody here reads (other split branches) are dropped at once in light mode.
                if (!(opt.lightmode && isDead(t)))
                    blobs[t] = top_mats[k];
            }
            report_progress(opt, ++stepsDone, stepCount);
        }
        if (blobs[wanted].empty()) {
            err = "blob '" + g.blobs[wanted].name + "' was not computed";
            return ERROR_FAILED;
        }
        return 0;
    }

private:
    const Graph &g;
    // Every layer runs here as it is: nothing folds, concatenations copy.
    const PlanRules rules{reference_backend()};
    ExtractPlanCache plans;
};

class ReferenceBackend : public Backend {
public:
    const char *name() const override { return "reference"; }
    int priority() const override { return 0; }
    bool supports(const Layer &, const std::vector<Shape> &, const Shape &, std::string &) const override
    {
        return true;
    }
    std::unique_ptr<ExecutionPlan> compile(const Graph &graph, const Option &, const VulkanDevice *,
                                           std::string &) const override
    {
        return std::make_unique<ReferencePlan>(graph);
    }
};

} // namespace

const Backend &reference_backend()
{
    static const ReferenceBackend backend;
    return backend;
}

} // namespace ncnn
