#include "backend.h"
#include "schedule.h"

#include <vector>

namespace ncnn {

namespace {

std::string describe(const Layer &layer)
{
    return "layer " + layer.name + " (" + layer.type + ")";
}

// Runs the reference layers in file order. Its only state is the schedule cache, which is thread-safe, so
// one plan serves any number of extractors.
class ReferencePlan : public ExecutionPlan {
public:
    explicit ReferencePlan(const Graph &graph) : g(graph), schedules(graph) {}

    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override
    {
        if (wanted < 0 || static_cast<size_t>(wanted) >= g.blobs.size() || blobs.size() != g.blobs.size()) {
            err = "no such blob";
            return ERROR_FAILED;
        }
        if (!blobs[wanted].empty())
            return 0;

        const std::vector<char> known = known_blobs(blobs);
        int code = 0;
        const std::shared_ptr<const Schedule> schedule = schedules.get(known, wanted, code, err);
        if (!schedule)
            return code;
        const std::vector<char> &needed = schedule->needed;
        // Readers left per blob: light mode frees a blob when none is.
        std::vector<int> uses = schedule->readers;

        const size_t layer_count = g.layers.size();
        for (size_t i = 0; i < layer_count; i++) {
            if (!needed[i])
                continue;
            if (stop_requested(opt)) {
                err = "stopped on request";
                return ERROR_CANCELLED;
            }
            const Layer &layer = *g.layers[i];
            std::vector<Mat> bottom_mats;
            bottom_mats.reserve(layer.bottoms.size());
            for (int b : layer.bottoms) {
                bottom_mats.push_back(blobs[b]);
                if (bottom_mats.back().empty()) {
                    err = describe(layer) + ": input blob '" + g.blobs[b].name + "' is empty";
                    return ERROR_BAD_INPUT;
                }
                if (--uses[b] == 0 && opt.lightmode && !known[b] && b != wanted)
                    blobs[b].release();
            }
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
                if (opt.lightmode && uses[t] == 0 && t != wanted)
                    continue;
                blobs[t] = top_mats[k];
            }
        }
        if (blobs[wanted].empty()) {
            err = "blob '" + g.blobs[wanted].name + "' was not computed";
            return ERROR_FAILED;
        }
        return 0;
    }

private:
    const Graph &g;
    ScheduleCache schedules;
};

class ReferenceBackend : public Backend {
public:
    const char *name() const override { return "reference"; }
    int priority() const override { return 0; }
    bool supports(const Graph &, const Option &, const VulkanDevice *) const override { return true; }
    bool runs_layer(const Layer &) const override { return true; }
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
