#include "backend.h"

#include <vector>

namespace ncnn {

namespace {

std::string describe(const Layer &layer)
{
    return "layer " + layer.name + " (" + layer.type + ")";
}

// Runs the reference layers in file order. Holds no state, so one plan serves any number of extractors.
class ReferencePlan : public ExecutionPlan {
public:
    explicit ReferencePlan(const Graph &graph) : g(graph) {}

    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override
    {
        if (wanted < 0 || static_cast<size_t>(wanted) >= g.blobs.size() || blobs.size() != g.blobs.size()) {
            err = "no such blob";
            return ERROR_FAILED;
        }
        if (!blobs[wanted].empty())
            return 0;

        // Which layers the wanted blob depends on, stopping at blobs that are already known.
        const size_t layer_count = g.layers.size();
        std::vector<char> needed(layer_count, 0);
        std::vector<char> known(blobs.size(), 0);
        for (size_t b = 0; b < blobs.size(); b++)
            known[b] = !blobs[b].empty();
        std::vector<int> stack{wanted};
        std::vector<char> visited(blobs.size(), 0);
        while (!stack.empty()) {
            const int b = stack.back();
            stack.pop_back();
            if (visited[b] || known[b])
                continue;
            visited[b] = 1;
            const int producer = g.blobs[b].producer;
            const Layer &layer = *g.layers[producer];
            if (layer.bottoms.empty()) {
                err = "input blob '" + g.blobs[b].name + "' was not set";
                return ERROR_BAD_INPUT;
            }
            needed[producer] = 1;
            for (int bottom : layer.bottoms)
                stack.push_back(bottom);
        }

        // Uses left per blob among the layers that will run: light mode frees a blob at zero.
        std::vector<int> uses(blobs.size(), 0);
        for (size_t i = 0; i < layer_count; i++)
            if (needed[i])
                for (int b : g.layers[i]->bottoms)
                    uses[b]++;

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
};

class ReferenceBackend : public Backend {
public:
    const char *name() const override { return "reference"; }
    int priority() const override { return 0; }
    bool supports(const Graph &, const Option &, const VulkanDevice *) const override { return true; }
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
