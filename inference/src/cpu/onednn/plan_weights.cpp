#include "plan_weights.h"

#include "lowering.h"
#include "winograd_convolution.h"

namespace brivelle::onednn {

using dnnl::memory;

size_t WeightStore::bytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t total = 0;
    for (const auto &entry : packed_)
        for (const auto &layout : entry.second)
            total += layout.first.get_size();
    for (const auto &entry : winograd_)
        for (const auto &transformed : entry.second)
            total += transformed->bytes();
    return total;
}

memory WeightStore::packed(int op, const float *weights, const memory::desc &plain,
                           const memory::desc &layout)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<memory::desc, memory>> &known = packed_[op];
    for (const auto &entry : known)
        if (entry.first == layout)
            return entry.second;
    // A reorder only reads its source; oneDNN's memory handle is simply not const.
    memory user(plain, cpuEngine(), const_cast<float *>(weights));
    memory packed(layout, cpuEngine());
    dnnl::stream stream(cpuEngine());
    dnnl::reorder(user, packed).execute(stream, user, packed);
    stream.wait();
    known.emplace_back(layout, packed);
    return packed;
}

std::shared_ptr<const WinogradWeights> WeightStore::winograd(int op, const float *weights, const float *bias,
                                                             int inChannels, int outChannels, int lanes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<const WinogradWeights>> &known = winograd_[op];
    for (const auto &entry : known)
        if (entry->lanes() == lanes && entry->inChannels() == inChannels)
            return entry;
    auto transformed = std::make_shared<const WinogradWeights>(weights, bias, inChannels, outChannels, lanes);
    known.push_back(transformed);
    return transformed;
}

} // namespace brivelle::onednn
