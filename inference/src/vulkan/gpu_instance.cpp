// The process-wide Vulkan instance and the devices behind ncnn's GPU functions.
#include "device.h"
#include "gpu_buffer.h"
#include "pipeline.h"

#include <ncnn/errors.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <system_error>
#include <vector>

namespace ncnn {

GpuInfo::GpuInfo() : d(new Private) {}
GpuInfo::~GpuInfo()
{
    delete d;
}
const char *GpuInfo::device_name() const
{
    return d->name.c_str();
}
int GpuInfo::type() const
{
    return d->type;
}
const char *GpuInfo::uuid_text() const
{
    return d->uuid.c_str();
}
const char *GpuInfo::pci_address() const
{
    return d->pci.c_str();
}

VulkanDevice::VulkanDevice(const GpuInfo &gpuInfo, Private *p) : info(gpuInfo), d(p) {}

VulkanDevice::~VulkanDevice()
{
    if (d->device) {
        brivelle::vk::vkDeviceWaitIdle(d->device);
        d->pipelines.clear();
        d->pipelineCache.close();
        d->pool.reset();
        brivelle::vk::vkDestroyDevice(d->device, nullptr);
    }
    delete d;
}

namespace {

// Without VK_EXT_memory_budget the driver does not say what other programs use; half of the
// largest device-local heap leaves room for them and for the driver's own allocations.
constexpr uint64_t kHeapShareWithoutBudgetDivisor = 2;

int largestDeviceLocalHeap(const VkPhysicalDeviceMemoryProperties &memory)
{
    int best = -1;
    for (uint32_t i = 0; i < memory.memoryHeapCount; i++) {
        if (!(memory.memoryHeaps[i].flags & VK_MEMORY_HEAP_DEVICE_LOCAL_BIT))
            continue;
        if (best < 0 || memory.memoryHeaps[i].size > memory.memoryHeaps[best].size)
            best = static_cast<int>(i);
    }
    if (best < 0 && memory.memoryHeapCount > 0)
        best = 0;
    return best;
}

} // namespace

uint32_t VulkanDevice::get_heap_budget() const
{
    const GpuInfo::Private &gi = *info.d;
    const int heap = largestDeviceLocalHeap(gi.memory);
    if (heap < 0)
        return 0;
    uint64_t bytes = gi.memory.memoryHeaps[heap].size / kHeapShareWithoutBudgetDivisor;
    if (gi.hasMemoryBudget && brivelle::vk::vkGetPhysicalDeviceMemoryProperties2) {
        VkPhysicalDeviceMemoryBudgetPropertiesEXT budget{};
        budget.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MEMORY_BUDGET_PROPERTIES_EXT;
        VkPhysicalDeviceMemoryProperties2 props{};
        props.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_MEMORY_PROPERTIES_2;
        props.pNext = &budget;
        brivelle::vk::vkGetPhysicalDeviceMemoryProperties2(gi.physical, &props);
        const uint64_t b = budget.heapBudget[heap];
        const uint64_t u = budget.heapUsage[heap];
        if (b > 0)
            bytes = b > u ? b - u : 0;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(bytes >> 20, UINT32_MAX));
}

namespace {
std::string pipelineCacheFolder;
std::atomic<int> validationErrors{0};
std::atomic<uint64_t> instanceGeneration{1};
bool validationActive = false;

VKAPI_ATTR VkBool32 VKAPI_CALL onValidationMessage(VkDebugUtilsMessageSeverityFlagBitsEXT severity,
                                                   VkDebugUtilsMessageTypeFlagsEXT,
                                                   const VkDebugUtilsMessengerCallbackDataEXT *data, void *)
{
    if (severity & VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT) {
        validationErrors++;
        std::fprintf(stderr, "vulkan validation: %s\n", data && data->pMessage ? data->pMessage : "?");
    }
    return VK_FALSE;
}
} // namespace

// Owns the instance and every device; one per process, rebuilt by create_gpu_instance.
class GpuInstanceHolder {
public:
    VkInstance instance = VK_NULL_HANDLE;
    VkDebugUtilsMessengerEXT messenger = VK_NULL_HANDLE;
    std::vector<GpuInfo *> infos;
    std::vector<VulkanDevice *> devices;
    int defaultIndex = 0;

    int create(const char *driverPath);
    static const GpuInfo &noDevice()
    {
        static const GpuInfo none;
        return none;
    }
    void destroy();

private:
    // A device the visibility list hides is left out before anything is made on it.
    bool addDevice(VkPhysicalDevice physical, const char *visible, int driverIndex);
};

namespace {

GpuInstanceHolder holder;

bool hasInstanceLayer(const char *name)
{
    uint32_t count = 0;
    if (brivelle::vk::vkEnumerateInstanceLayerProperties(&count, nullptr) != VK_SUCCESS)
        return false;
    std::vector<VkLayerProperties> layers(count);
    brivelle::vk::vkEnumerateInstanceLayerProperties(&count, layers.data());
    return std::any_of(layers.begin(), layers.begin() + count,
                       [&](const VkLayerProperties &l) { return std::strcmp(l.layerName, name) == 0; });
}

bool validationRequested()
{
#ifdef BRIVELLE_VULKAN_VALIDATION
    return true;
#else
    const char *env = std::getenv("BRIVELLE_VULKAN_VALIDATION");
    return env && *env && std::strcmp(env, "0") != 0;
#endif
}

bool hasDeviceExtension(VkPhysicalDevice physical, const char *name)
{
    uint32_t count = 0;
    if (brivelle::vk::vkEnumerateDeviceExtensionProperties(physical, nullptr, &count, nullptr) != VK_SUCCESS)
        return false;
    std::vector<VkExtensionProperties> exts(count);
    brivelle::vk::vkEnumerateDeviceExtensionProperties(physical, nullptr, &count, exts.data());
    return std::any_of(exts.begin(), exts.begin() + count, [&](const VkExtensionProperties &e) {
        return std::strcmp(e.extensionName, name) == 0;
    });
}

std::string uuidText(const uint8_t (&uuid)[VK_UUID_SIZE])
{
    if (std::all_of(std::begin(uuid), std::end(uuid), [](uint8_t b) { return b == 0; }))
        return std::string();
    std::string text;
    for (size_t i = 0; i < VK_UUID_SIZE; i++) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", uuid[i]);
        text += hex;
        if (i == 3 || i == 5 || i == 7 || i == 9)
            text += '-';
    }
    return text;
}

std::string pciText(uint32_t domain, uint32_t bus, uint32_t device, uint32_t function)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", domain, bus, device, function);
    return text;
}

// Whether BRIVELLE_VISIBLE_DEVICES (unset: every device) names the device at `index` of the
// driver's list or its UUID. Dashes and letter case in a UUID do not matter.
bool visibleDevice(const char *named, int index, const std::string &uuid)
{
    if (!named)
        return true;
    auto bare = [](const std::string &text) {
        std::string out;
        for (char c : text) {
            if (c != '-' && c != ' ')
                out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return out;
    };
    const std::string own = bare(uuid);
    const std::string list = named;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(',', start), list.size());
        const std::string entry = bare(list.substr(start, end - start));
        if (!entry.empty()) {
            char *rest = nullptr;
            const long number = std::strtol(entry.c_str(), &rest, 10);
            if (*rest == '\0' ? number == index : (!own.empty() && entry == own))
                return true;
        }
        start = end + 1;
    }
    return false;
}

int ncnnType(VkPhysicalDeviceType t)
{
    switch (t) {
    case VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU:
        return 0;
    case VK_PHYSICAL_DEVICE_TYPE_INTEGRATED_GPU:
        return 1;
    case VK_PHYSICAL_DEVICE_TYPE_VIRTUAL_GPU:
        return 2;
    default:
        return 3;
    }
}

uint32_t findMemoryType(const VkPhysicalDeviceMemoryProperties &memory, VkMemoryPropertyFlags required,
                        VkMemoryPropertyFlags preferred)
{
    uint32_t fallback = UINT32_MAX;
    for (uint32_t i = 0; i < memory.memoryTypeCount; i++) {
        const VkMemoryPropertyFlags f = memory.memoryTypes[i].propertyFlags;
        if ((f & required) != required)
            continue;
        if ((f & preferred) == preferred)
            return i;
        if (fallback == UINT32_MAX)
            fallback = i;
    }
    return fallback;
}

// The subgroup size, UUID and PCI address, where the driver has the properties2 queries.
void readIdentity(VkPhysicalDevice physical, GpuInfo::Private &gi)
{
    using namespace brivelle::vk;
    if (vkGetPhysicalDeviceProperties2) {
        VkPhysicalDeviceSubgroupProperties subgroup{};
        subgroup.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_SUBGROUP_PROPERTIES;
        VkPhysicalDeviceIDProperties ids{};
        ids.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_ID_PROPERTIES;
        subgroup.pNext = &ids;
        VkPhysicalDevicePCIBusInfoPropertiesEXT pci{};
        pci.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PCI_BUS_INFO_PROPERTIES_EXT;
        const bool hasPci = hasDeviceExtension(physical, VK_EXT_PCI_BUS_INFO_EXTENSION_NAME);
        if (hasPci)
            ids.pNext = &pci;
        VkPhysicalDeviceProperties2 props{};
        props.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2;
        props.pNext = &subgroup;
        vkGetPhysicalDeviceProperties2(physical, &props);
        gi.subgroupSize = subgroup.subgroupSize;
        gi.uuid = uuidText(ids.deviceUUID);
        if (hasPci)
            gi.pci = pciText(pci.pciDomain, pci.pciBus, pci.pciDevice, pci.pciFunction);
    }
}

// The queue family to compute on: a compute-only one, the one drivers keep free of graphics work, before any
// other with compute; UINT32_MAX when there is none.
uint32_t computeFamily(VkPhysicalDevice physical)
{
    using namespace brivelle::vk;
    uint32_t familyCount = 0;
    vkGetPhysicalDeviceQueueFamilyProperties(physical, &familyCount, nullptr);
    std::vector<VkQueueFamilyProperties> families(familyCount);
    vkGetPhysicalDeviceQueueFamilyProperties(physical, &familyCount, families.data());
    uint32_t family = UINT32_MAX;
    for (uint32_t i = 0; i < familyCount; i++) {
        if (!(families[i].queueFlags & VK_QUEUE_COMPUTE_BIT) || families[i].queueCount == 0)
            continue;
        if (family == UINT32_MAX || !(families[i].queueFlags & VK_QUEUE_GRAPHICS_BIT))
            family = i;
    }
    return family;
}

} // namespace

bool GpuInstanceHolder::addDevice(VkPhysicalDevice physical, const char *visible, int driverIndex)
{
    using namespace brivelle::vk;
    std::unique_ptr<GpuInfo> info(new GpuInfo);
    GpuInfo::Private &gi = *info->d;
    gi.physical = physical;
    vkGetPhysicalDeviceProperties(physical, &gi.properties);
    vkGetPhysicalDeviceMemoryProperties(physical, &gi.memory);
    // Storage buffers and compute are all this runtime needs; anything older than 1.1 lacks the
    // properties2 queries used for the budget.
    if (gi.properties.apiVersion < VK_API_VERSION_1_1)
        return false;
    gi.name = gi.properties.deviceName;
    readIdentity(physical, gi);
    if (!visibleDevice(visible, driverIndex, gi.uuid))
        return false;
    gi.type = ncnnType(gi.properties.deviceType);
    gi.hasMemoryBudget = hasDeviceExtension(physical, VK_EXT_MEMORY_BUDGET_EXTENSION_NAME);

    const uint32_t family = computeFamily(physical);
    if (family == UINT32_MAX)
        return false;
    gi.computeFamily = family;

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queueInfo{};
    queueInfo.sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
    queueInfo.queueFamilyIndex = family;
    queueInfo.queueCount = 1;
    queueInfo.pQueuePriorities = &priority;
    std::vector<const char *> extensions;
    if (gi.hasMemoryBudget)
        extensions.push_back(VK_EXT_MEMORY_BUDGET_EXTENSION_NAME);
    VkDeviceCreateInfo deviceInfo{};
    deviceInfo.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
    deviceInfo.queueCreateInfoCount = 1;
    deviceInfo.pQueueCreateInfos = &queueInfo;
    deviceInfo.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
    deviceInfo.ppEnabledExtensionNames = extensions.data();

    auto *dp = new VulkanDevice::Private;
    if (vkCreateDevice(physical, &deviceInfo, nullptr, &dp->device) != VK_SUCCESS) {
        delete dp;
        return false;
    }
    vkGetDeviceQueue(dp->device, family, 0, &dp->queue);
    dp->pipelineCache.open(dp->device, gi.properties, pipelineCacheFolder);
    dp->deviceMemoryType = findMemoryType(gi.memory, VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, 0);
    if (dp->deviceMemoryType == UINT32_MAX)
        dp->deviceMemoryType = findMemoryType(gi.memory, 0, 0);
    dp->stagingMemoryType =
        findMemoryType(gi.memory, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT,
                       VK_MEMORY_PROPERTY_HOST_CACHED_BIT);
    dp->stagingCoherent = dp->stagingMemoryType != UINT32_MAX;
    if (!dp->stagingCoherent)
        dp->stagingMemoryType = findMemoryType(gi.memory, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT, 0);
    GpuInfo *rawInfo = info.release();
    auto *device = new VulkanDevice(*rawInfo, dp);
    if (dp->deviceMemoryType == UINT32_MAX || dp->stagingMemoryType == UINT32_MAX) {
        delete device;
        delete rawInfo;
        return false;
    }
    dp->pool = std::make_unique<brivelle::vk::BufferPool>(*device);
    infos.push_back(rawInfo);
    devices.push_back(device);
    return true;
}

int GpuInstanceHolder::create(const char *driverPath)
{
    using namespace brivelle::vk;
    destroy();
    if (!open_loader(driverPath))
        return ncnn::ERROR_FAILED;

    VkApplicationInfo app{};
    app.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    app.pApplicationName = "brivelle";
    app.pEngineName = "brivelle-inference";
    app.apiVersion = VK_API_VERSION_1_1;
    std::vector<const char *> layers;
    std::vector<const char *> extensions;
    validationActive = validationRequested() && hasInstanceLayer("VK_LAYER_KHRONOS_validation");
    if (validationActive) {
        layers.push_back("VK_LAYER_KHRONOS_validation");
        extensions.push_back(VK_EXT_DEBUG_UTILS_EXTENSION_NAME);
    }
    VkInstanceCreateInfo createInfo{};
    createInfo.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    createInfo.pApplicationInfo = &app;
    createInfo.enabledLayerCount = static_cast<uint32_t>(layers.size());
    createInfo.ppEnabledLayerNames = layers.data();
    createInfo.enabledExtensionCount = static_cast<uint32_t>(extensions.size());
    createInfo.ppEnabledExtensionNames = extensions.data();
    if (vkCreateInstance(&createInfo, nullptr, &instance) != VK_SUCCESS) {
        instance = VK_NULL_HANDLE;
        close_loader();
        return ncnn::ERROR_FAILED;
    }
    if (!load_instance_functions(instance) || !load_device_functions(instance)) {
        destroy();
        return ncnn::ERROR_FAILED;
    }
    if (validationActive) {
        auto createMessenger = reinterpret_cast<PFN_vkCreateDebugUtilsMessengerEXT>(
            instance_function(instance, "vkCreateDebugUtilsMessengerEXT"));
        VkDebugUtilsMessengerCreateInfoEXT info{};
        info.sType = VK_STRUCTURE_TYPE_DEBUG_UTILS_MESSENGER_CREATE_INFO_EXT;
        info.messageSeverity = VK_DEBUG_UTILS_MESSAGE_SEVERITY_ERROR_BIT_EXT;
        info.messageType = VK_DEBUG_UTILS_MESSAGE_TYPE_GENERAL_BIT_EXT |
                           VK_DEBUG_UTILS_MESSAGE_TYPE_VALIDATION_BIT_EXT |
                           VK_DEBUG_UTILS_MESSAGE_TYPE_PERFORMANCE_BIT_EXT;
        info.pfnUserCallback = onValidationMessage;
        if (!createMessenger || createMessenger(instance, &info, nullptr, &messenger) != VK_SUCCESS) {
            messenger = VK_NULL_HANDLE;
            validationActive = false;
        }
    }
    uint32_t count = 0;
    if (vkEnumeratePhysicalDevices(instance, &count, nullptr) != VK_SUCCESS)
        count = 0;
    std::vector<VkPhysicalDevice> physicals(count);
    if (count > 0 && vkEnumeratePhysicalDevices(instance, &count, physicals.data()) < VK_SUCCESS)
        count = 0;
    const char *visible = std::getenv("BRIVELLE_VISIBLE_DEVICES");
    for (uint32_t i = 0; i < count; i++)
        addDevice(physicals[i], visible, static_cast<int>(i));

    // The default is the first discrete GPU, else an integrated one, else whatever comes first.
    defaultIndex = 0;
    for (int wanted : {0, 1}) {
        auto it =
            std::find_if(infos.begin(), infos.end(), [&](const GpuInfo *g) { return g->type() == wanted; });
        if (it != infos.end()) {
            defaultIndex = static_cast<int>(it - infos.begin());
            break;
        }
    }
    return 0;
}

void GpuInstanceHolder::destroy()
{
    instanceGeneration++;
    for (VulkanDevice *dev : devices)
        delete dev;
    devices.clear();
    for (GpuInfo *info : infos)
        delete info;
    infos.clear();
    if (messenger != VK_NULL_HANDLE) {
        auto destroyMessenger = reinterpret_cast<PFN_vkDestroyDebugUtilsMessengerEXT>(
            brivelle::vk::instance_function(instance, "vkDestroyDebugUtilsMessengerEXT"));
        if (destroyMessenger)
            destroyMessenger(instance, messenger, nullptr);
        messenger = VK_NULL_HANDLE;
    }
    if (instance != VK_NULL_HANDLE && brivelle::vk::vkDestroyInstance)
        brivelle::vk::vkDestroyInstance(instance, nullptr);
    instance = VK_NULL_HANDLE;
    defaultIndex = 0;
    brivelle::vk::close_loader();
}

void set_pipeline_cache_folder(const char *folder)
{
    pipelineCacheFolder = folder ? folder : "";
    // Mesa's drivers keep what they compile in a disk cache of their own, and some of them (lavapipe)
    // put nothing into a pipeline cache: they are pointed into the same folder, unless told otherwise.
    if (!pipelineCacheFolder.empty() && !std::getenv("MESA_SHADER_CACHE_DIR")) {
        // Mesa makes only the last folder of the path itself.
        std::error_code ignored;
        std::filesystem::create_directories(pipelineCacheFolder, ignored);
        setenv("MESA_SHADER_CACHE_DIR", (pipelineCacheFolder + "/mesa").c_str(), 0);
    }
}

int create_gpu_instance(const char *driver_path)
{
    return holder.create(driver_path);
}

void destroy_gpu_instance()
{
    holder.destroy();
}

int get_gpu_count()
{
    return static_cast<int>(holder.devices.size());
}

int get_default_gpu_index()
{
    return holder.defaultIndex;
}

const GpuInfo &get_gpu_info(int device_index)
{
    // ncnn hands out a reference; an index without a device gets an empty CPU-typed record rather than
    // undefined behaviour.
    if (device_index < 0 || device_index >= get_gpu_count())
        return GpuInstanceHolder::noDevice();
    return *holder.infos[static_cast<size_t>(device_index)];
}

VulkanDevice *get_gpu_device(int device_index)
{
    if (device_index < 0 || device_index >= get_gpu_count())
        return nullptr;
    return holder.devices[static_cast<size_t>(device_index)];
}

} // namespace ncnn

namespace brivelle::vk {

bool validation_enabled()
{
    return ncnn::validationActive;
}

int validation_error_count()
{
    return ncnn::validationErrors.load();
}

uint64_t instance_generation()
{
    return ncnn::instanceGeneration.load();
}

bool is_live_device(const ncnn::VulkanDevice *device)
{
    for (int i = 0; i < ncnn::get_gpu_count(); i++) {
        if (ncnn::get_gpu_device(i) == device)
            return true;
    }
    return false;
}

} // namespace brivelle::vk
