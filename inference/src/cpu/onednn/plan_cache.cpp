#include "plan_cache.h"

namespace brivelle::onednn {

PlanCache::PlanCache(const ncnn::Graph &graph, size_t capacity)
    : graph_(graph), capacity_(capacity ? capacity : 1)
{}

int PlanCache::get(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
                   const PlanOptions &options, std::shared_ptr<Plan> &plan, std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->inputs == inputs && it->outputs == outputs && it->threads == options.numThreads &&
            it->lightMode == options.lightMode && it->winograd == options.tryWinograd &&
            it->precision == options.precision) {
            entries_.splice(entries_.begin(), entries_, it);
            plan = entries_.front().plan;
            return 0;
        }
    }
    std::unique_ptr<Plan> compiled;
    const int ret = Plan::compile(graph_, inputs, outputs, options, compiled, why, &weights_);
    plan = std::move(compiled);
    if (ret != 0)
        return ret;
    ++compilations_;
    entries_.push_front(Entry{inputs, outputs, options.numThreads, options.lightMode, options.tryWinograd,
                              options.precision, plan});
    while (entries_.size() > capacity_)
        entries_.pop_back();
    // Blocks sized for an evicted shape would otherwise stay reserved.
    pool_.trim();
    return 0;
}

size_t PlanCache::size() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

int PlanCache::compilations() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return compilations_;
}

} // namespace brivelle::onednn
