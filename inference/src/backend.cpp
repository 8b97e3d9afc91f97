#include "backend.h"

#include "layer.h"

#include <algorithm>

namespace ncnn {

int forward_on_host(const Layer &layer, std::vector<Mat> &bottoms, std::vector<Mat> &tops, const Option &opt)
{
    if (layer.one_blob_only && layer.support_inplace) {
        Mat m = bottoms[0];
        bottoms.clear();
        if (!m.refcount || *m.refcount != 1) {
            m = m.clone(opt.blob_allocator);
            if (m.empty())
                return ERROR_OUT_OF_MEMORY;
        }
        tops[0] = m;
        return layer.forward_inplace(tops[0], opt);
    }
    if (layer.one_blob_only)
        return layer.forward(bottoms[0], tops[0], opt);
    return layer.forward(bottoms, tops, opt);
}

ExecutionPlan::~ExecutionPlan() = default;

int begin_run(const Graph &graph, const std::vector<Mat> &blobs, int wanted, const Option &opt,
              std::string &err)
{
    if (wanted < 0 || size_t(wanted) >= graph.blobs.size() || blobs.size() != graph.blobs.size()) {
        err = "no such blob";
        return ERROR_FAILED;
    }
    if (!blobs[size_t(wanted)].empty())
        return 1;
    if (stop_requested(opt)) {
        err = "stopped on request";
        return ERROR_CANCELLED;
    }
    return 0;
}
Backend::~Backend() = default;

bool Backend::available(const Option &, const VulkanDevice *) const
{
    return true;
}

bool runs_graph(const Backend &backend, const Graph &graph, const Option &opt, const VulkanDevice *vkdev)
{
    if (graph.empty() || !backend.available(opt, vkdev))
        return false;
    std::string why;
    for (const auto &layer : graph.layers) {
        const Role role = layer->role();
        if (role != Role::Input && role != Role::Alias && backend.supports(*layer, {}, Shape{}, why))
            return true;
    }
    return false;
}

const std::vector<const Backend *> &backends()
{
    static const std::vector<const Backend *> list = [] {
        std::vector<const Backend *> v;
#ifdef BRIVELLE_VULKAN_BACKEND
        v.push_back(&vulkan_backend());
#endif
#ifdef BRIVELLE_ONEDNN_BACKEND
        v.push_back(&onednn_backend());
#endif
        v.push_back(&reference_backend());
        std::stable_sort(v.begin(), v.end(),
                         [](const Backend *a, const Backend *b) { return a->priority() > b->priority(); });
        return v;
    }();
    return list;
}

const Backend *find_backend(const std::string &name)
{
    for (const Backend *b : backends())
        if (name == b->name())
            return b;
    return nullptr;
}

const Backend *choose_backend(const Graph &graph, const Option &opt, const VulkanDevice *vkdev)
{
    for (const Backend *b : backends())
        if (runs_graph(*b, graph, opt, vkdev))
            return b;
    return &reference_backend();
}

} // namespace ncnn
