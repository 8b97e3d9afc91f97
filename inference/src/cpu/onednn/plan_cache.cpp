#include "plan_cache.h"

namespace brivelle::onednn {

int PlanCache::get(const std::vector<std::pair<int, Shape>> &inputs, const std::vector<int> &outputs,
                   const PlanOptions &options, std::shared_ptr<Plan> &plan, std::string &why)
{
    std::vector<int> key =
        ncnn::plan_key({}, outputs,
                       {options.numThreads, options.lightMode, options.tryWinograd, int(options.layout),
                        options.allowSlowConvolutions, int(options.precision)});
    for (const auto &entry : inputs)
        key.insert(key.end(), {entry.first, entry.second.c, entry.second.h, entry.second.w});
    bool compiled = false;
    const int ret = plans_.get(key, plan, [&](std::shared_ptr<Plan> &made) {
        std::unique_ptr<Plan> p;
        const int rc = Plan::compile(graph_, inputs, outputs, options, p, why, &weights_);
        made = std::move(p);
        compiled = rc == 0;
        return rc;
    });
    // Blocks sized for an evicted shape would otherwise stay reserved.
    if (compiled)
        pool_.trim();
    return ret;
}

} // namespace brivelle::onednn
