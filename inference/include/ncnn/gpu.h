#pragma once

#include <cstdint>

namespace ncnn {

// The process-wide Vulkan instance and its device list. create and destroy are not thread-safe and
// must not run while any network uses a device; the queries may run from any thread in between.
// BRIVELLE_VISIBLE_DEVICES, when set, limits the list to the devices it names, as
// CUDA_VISIBLE_DEVICES does for CUDA (which Vulkan ignores): a comma-separated list of indices in
// the driver's order and device UUIDs (see GpuInfo::uuid_text); the list keeps the driver's order.
int create_gpu_instance(const char *driver_path = nullptr);
// Where each device keeps its compiled pipelines between runs (made when missing; a folder that
// cannot be read or written only costs the compilation); null or empty: nowhere, the default. Read
// by the next create_gpu_instance. Mesa's drivers are pointed at "mesa" inside it for their own
// disk cache, unless MESA_SHADER_CACHE_DIR is set. It sets the environment: call it before other
// threads start. Not one of ncnn's functions.
void set_pipeline_cache_folder(const char *folder);
void destroy_gpu_instance();

int get_gpu_count();
int get_default_gpu_index();

class GpuInfo {
public:
    virtual ~GpuInfo();
    const char *device_name() const;
    // 0 discrete, 1 integrated, 2 virtual, 3 CPU; -1 for the placeholder returned when there is no device.
    int type() const;
    // The device's UUID, the same in every process and every API on this machine, as
    // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower-case hex; empty when the driver gives none.
    const char *uuid_text() const;
    // Its PCI address "dddd:bb:dd.f" (domain, bus, device, function in hex) where the driver has
    // VK_EXT_pci_bus_info; empty otherwise.
    const char *pci_address() const;

    class Private;
    Private *const d;

protected:
    GpuInfo();
    friend class GpuInstanceHolder;
};

// A placeholder (empty name, type -1) when there is no device at that index.
const GpuInfo &get_gpu_info(int device_index = get_default_gpu_index());

class VulkanDevice {
public:
    virtual ~VulkanDevice();
    const GpuInfo &info;
    // Memory this process may use on the device, in MiB.
    uint32_t get_heap_budget() const;

    class Private;
    Private *const d;

protected:
    VulkanDevice(const GpuInfo &info, Private *d);
    friend class GpuInstanceHolder;
};

// Null when there is no device at that index.
VulkanDevice *get_gpu_device(int device_index = get_default_gpu_index());

} // namespace ncnn
