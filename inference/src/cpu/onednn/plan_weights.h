#pragma once

// Convolution weights in the forms the primitives want, made once per graph and shared by its plans.

#include <oneapi/dnnl/dnnl.hpp>

#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brivelle::onednn {

class WinogradWeights;

// Convolution weights already reordered into a primitive's layout, shared by the plans of one graph:
// shapes that choose the same layout reuse one copy. Thread-safe.
class WeightStore {
public:
    WeightStore() = default;
    WeightStore(const WeightStore &) = delete;
    WeightStore &operator=(const WeightStore &) = delete;
    size_t bytes() const;

    // The loaded weights of layer `op` (`plain` describes them) reordered into `layout`, made on first use.
    dnnl::memory packed(int op, const float *weights, const dnnl::memory::desc &plain,
                        const dnnl::memory::desc &layout);
    // A convolution's weights prepared for Winograd's products on `lanes`, made on first use.
    std::shared_ptr<const WinogradWeights> winograd(int op, const float *weights, const float *bias,
                                                    int inChannels, int outChannels, int lanes);

private:
    mutable std::mutex mutex_;
    // Per convolution (by op index): every layout it was reordered into.
    std::unordered_map<int, std::vector<std::pair<dnnl::memory::desc, dnnl::memory>>> packed_;
    std::unordered_map<int, std::vector<std::shared_ptr<const WinogradWeights>>> winograd_;
};

} // namespace brivelle::onednn
