// PReLU on the GPU: the binary kernel against the slopes, which live on the device.
#include "../../layers/prelu.h"
#include "binaryop_vulkan.h"
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

class PReLULayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int create(const ncnn::VulkanDevice &device)
    {
        const auto &pr = static_cast<const ncnn::PReLU &>(layer_);
        Stream s(device);
        if (!allocate(s, slopes_, 1, 1, pr.num_slope) ||
            upload_planes(s, static_cast<const float *>(pr.slope_data.data), 1, slopes_) != 0)
            return ncnn::ERROR_OUT_OF_MEMORY;
        return s.finish() == 0 ? 0 : ncnn::ERROR_FAILED;
    }

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        return binary(s, kPReLU, *in[0], slopes_, 0.f, out);
    }

private:
    Tensor slopes_;
};

int create(const ncnn::Layer &layer, const ncnn::VulkanDevice &device, std::unique_ptr<GpuLayer> &out,
           std::string &err)
{
    auto l = std::make_unique<PReLULayer>(layer);
    if (const int rc = l->create(device); rc != 0) {
        err = "cannot upload the slopes to the GPU";
        return rc;
    }
    out = std::move(l);
    return 0;
}

} // namespace

extern const GpuLayerEntry prelu_vulkan{"PReLU", nullptr, create};

} // namespace brivelle::vk
