// The GPU functions when the runtime is built without its Vulkan path: no instance, no devices.
#include <ncnn/gpu.h>

namespace ncnn {

class GpuInfo::Private {};
class VulkanDevice::Private {};

class GpuInstanceHolder {
public:
    static const GpuInfo &none()
    {
        static const GpuInfo info;
        return info;
    }
};

int create_gpu_instance(const char *)
{
    return 0;
}
void destroy_gpu_instance() {}
int get_gpu_count()
{
    return 0;
}
int get_default_gpu_index()
{
    return 0;
}

GpuInfo::GpuInfo() : d(nullptr) {}
GpuInfo::~GpuInfo() = default;
const char *GpuInfo::device_name() const
{
    return "";
}
int GpuInfo::type() const
{
    constexpr int kNoDevice = -1;
    return kNoDevice;
}

const GpuInfo &get_gpu_info(int)
{
    return GpuInstanceHolder::none();
}

VulkanDevice::VulkanDevice(const GpuInfo &_info, Private *_d) : info(_info), d(_d) {}
VulkanDevice::~VulkanDevice() = default;
uint32_t VulkanDevice::get_heap_budget() const
{
    return 0;
}

VulkanDevice *get_gpu_device(int)
{
    return nullptr;
}

} // namespace ncnn
