#include "plan_cache.h"

namespace brivelle::onednn {

PlanCache::PlanCache(FastGraph graph, size_t capacity)
    : graph_(std::move(graph)), capacity_(capacity ? capacity : 1)
{}

std::shared_ptr<Plan> PlanCache::get(const std::vector<std::pair<int, Shape>> &inputs,
                                     const std::vector<int> &outputs, const PlanOptions &options,
                                     std::string *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->inputs == inputs && it->outputs == outputs && it->threads == options.numThreads &&
            it->lightMode == options.lightMode && it->winograd == options.tryWinograd) {
            entries_.splice(entries_.begin(), entries_, it);
            return entries_.front().plan;
        }
    }
    std::shared_ptr<Plan> plan = Plan::compile(graph_, inputs, outputs, options, error, &weights_);
    if (!plan)
        return nullptr;
    ++compilations_;
    entries_.push_front(
        Entry{inputs, outputs, options.numThreads, options.lightMode, options.tryWinograd, plan});
    while (entries_.size() > capacity_)
        entries_.pop_back();
    // Blocks sized for an evicted shape would otherwise stay reserved.
    pool_.trim();
    return plan;
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
