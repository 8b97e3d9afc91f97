#pragma once

#include "mat.h"
#include "option.h"

#include <string>

namespace ncnn {

class Extractor;
class VulkanDevice;
class NetPrivate;
class ExtractorPrivate;

// A network loaded from ncnn's .param and .bin files. Load and configure from one thread; once loaded,
// one Net may be shared by several threads, each running its own Extractor. Return codes: 0 success,
// negative failure; the reason is in last_error().
class Net {
public:
    Net();
    virtual ~Net();

    Option opt;

    // Runs the network on this device when opt.use_vulkan_compute is set; null or an index without a
    // device leaves the network on the CPU.
    void set_vulkan_device(int device_index);
    void set_vulkan_device(const VulkanDevice *vkdev);
    const VulkanDevice *vulkan_device() const;

    // Paths are UTF-8.
    int load_param(const char *protopath);
    int load_param_mem(const char *mem);
    int load_model(const char *modelpath);

    void clear();
    Extractor create_extractor() const;

    // Not part of ncnn: the message of the last failed load, naming the line, the key and the sizes.
    const std::string &last_error() const;

private:
    Net(const Net &) = delete;
    Net &operator=(const Net &) = delete;
    friend class Extractor;
    NetPrivate *const d;
};

// One inference. Not thread-safe; create one per inference and thread.
class Extractor {
public:
    virtual ~Extractor();
    Extractor(const Extractor &);
    Extractor &operator=(const Extractor &);

    void clear();
    void set_light_mode(bool enable);
    void set_num_threads(int num_threads);
    void set_blob_allocator(Allocator *allocator);
    void set_workspace_allocator(Allocator *allocator);

    int input(const char *blob_name, const Mat &in);
    // type 0: the blob as the network stores it; type 1: unpacked, fp32. Returns 0 on success;
    // a failure (missing blob, layer error, out of memory) leaves feat empty.
    int extract(const char *blob_name, Mat &feat, int type = 0);

    // Not part of ncnn: the message of the last failed extract.
    const std::string &last_error() const;

protected:
    friend Extractor Net::create_extractor() const;
    Extractor(const Net *net, size_t blob_count);

private:
    ExtractorPrivate *const d;
};

} // namespace ncnn
