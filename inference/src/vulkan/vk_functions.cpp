#include "vk_functions.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace brivelle::vk {

#define BRIVELLE_VK_DEFINE(name) PFN_##name name = nullptr;
BRIVELLE_VK_GLOBAL_FUNCTIONS(BRIVELLE_VK_DEFINE)
BRIVELLE_VK_INSTANCE_FUNCTIONS(BRIVELLE_VK_DEFINE)
BRIVELLE_VK_DEVICE_FUNCTIONS(BRIVELLE_VK_DEFINE)
#undef BRIVELLE_VK_DEFINE

namespace {

void *library = nullptr;
PFN_vkGetInstanceProcAddr getInstanceProcAddr = nullptr;

void *openLibrary(const char *path)
{
#ifdef _WIN32
    return reinterpret_cast<void *>(LoadLibraryA(path ? path : "vulkan-1.dll"));
#else
    if (path)
        return dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void *handle = dlopen("libvulkan.so.1", RTLD_NOW | RTLD_LOCAL);
    return handle ? handle : dlopen("libvulkan.so", RTLD_NOW | RTLD_LOCAL);
#endif
}

void *librarySymbol(void *handle, const char *name)
{
#ifdef _WIN32
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
#else
    return dlsym(handle, name);
#endif
}

void closeLibrary(void *handle)
{
#ifdef _WIN32
    FreeLibrary(static_cast<HMODULE>(handle));
#else
    dlclose(handle);
#endif
}

template <typename T> bool resolve(T &fn, VkInstance instance, const char *name)
{
    fn = reinterpret_cast<T>(getInstanceProcAddr(instance, name));
    return fn != nullptr;
}

} // namespace

bool open_loader(const char *path)
{
    close_loader();
    library = openLibrary(path);
    if (!library)
        return false;
    getInstanceProcAddr =
        reinterpret_cast<PFN_vkGetInstanceProcAddr>(librarySymbol(library, "vkGetInstanceProcAddr"));
    bool ok = getInstanceProcAddr != nullptr;
#define BRIVELLE_VK_RESOLVE(name) ok = ok && resolve(name, VK_NULL_HANDLE, #name);
    BRIVELLE_VK_GLOBAL_FUNCTIONS(BRIVELLE_VK_RESOLVE)
#undef BRIVELLE_VK_RESOLVE
    if (!ok)
        close_loader();
    return ok;
}

bool load_instance_functions(VkInstance instance)
{
    bool ok = getInstanceProcAddr != nullptr;
#define BRIVELLE_VK_RESOLVE(name) ok = ok && resolve(name, instance, #name);
    BRIVELLE_VK_INSTANCE_FUNCTIONS(BRIVELLE_VK_RESOLVE)
#undef BRIVELLE_VK_RESOLVE
    return ok;
}

bool load_device_functions(VkInstance instance)
{
    bool ok = getInstanceProcAddr != nullptr;
#define BRIVELLE_VK_RESOLVE(name) ok = ok && resolve(name, instance, #name);
    BRIVELLE_VK_DEVICE_FUNCTIONS(BRIVELLE_VK_RESOLVE)
#undef BRIVELLE_VK_RESOLVE
    return ok;
}

PFN_vkVoidFunction instance_function(VkInstance instance, const char *name)
{
    return getInstanceProcAddr ? getInstanceProcAddr(instance, name) : nullptr;
}

void close_loader()
{
#define BRIVELLE_VK_RESET(name) name = nullptr;
    BRIVELLE_VK_GLOBAL_FUNCTIONS(BRIVELLE_VK_RESET)
    BRIVELLE_VK_INSTANCE_FUNCTIONS(BRIVELLE_VK_RESET)
    BRIVELLE_VK_DEVICE_FUNCTIONS(BRIVELLE_VK_RESET)
#undef BRIVELLE_VK_RESET
    getInstanceProcAddr = nullptr;
    if (library)
        closeLibrary(library);
    library = nullptr;
}

} // namespace brivelle::vk
