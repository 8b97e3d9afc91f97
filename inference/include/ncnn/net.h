#pragma once

#include "errors.h"
#include "mat.h"
#include "option.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ncnn {

class Extractor;
class VulkanDevice;
class NetPrivate;
class ExtractorPrivate;

// A network loaded from ncnn's .param and .bin files. Load and configure from one thread; once loaded,
// one Net may be shared by several threads, each running its own Extractor. Return codes: 0 success,
// or one of the negative codes of <ncnn/errors.h>; the reason is in last_error().
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

    // Paths are UTF-8. load_param drops any network loaded before. Bytes after the last layer (in the
    // .param) or after the last weight array (in the .bin) are ignored: published files may be padded.
    int load_param(const char *protopath);
    // The .param text, NUL-terminated.
    int load_param_mem(const char *mem);
    int load_model(const char *modelpath);
    // Not part of ncnn: the .bin bytes with their size (ncnn's unsized form cannot be bounds-checked).
    int load_model_mem(const unsigned char *data, size_t size);

    // Not part of ncnn: instead of load_model, the weights of this .bin interpolated with those of a
    // second network of the same architecture (its .param and .bin) as they load,
    // (1 - weight) * this file's + weight * the second's; the network then runs as if a file of the
    // mixed weights had been loaded. ERROR_BAD_MODEL, naming the first layer that differs, when the
    // two have other layers or weight shapes.
    int load_model_mixed(const char *modelpath, const char *second_protopath, const char *second_modelpath,
                         float weight);

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
    // Not part of ncnn: see Option::stop_request. Null (the default) never stops.
    void set_stop_request(const std::atomic<bool> *stop);
    // Not part of ncnn: see Option::progress. Null (the default) reports nothing.
    void set_progress(const std::function<void(int done, int total)> *progress);

    int input(const char *blob_name, const Mat &in);
    // type 0: planar fp32 (elempack 1), whatever layout the backend used inside; type 1: the blob as
    // the backend stores it (packed, fp16), as in ncnn. Returns 0 on success; a failure (missing blob,
    // layer error, out of memory) leaves feat empty.
    int extract(const char *blob_name, Mat &feat, int type = 0);

    // Not part of ncnn: the message of the last failed extract.
    const std::string &last_error() const;

protected:
    friend Extractor Net::create_extractor() const;
    Extractor(const Net *net, size_t blob_count);

private:
    ExtractorPrivate *const d;
};

// Not part of ncnn: the blobs of a .param and the shapes its layers' own shape rules give them for one
// input size, found without weights and without computing anything (the application reads a network's
// scale and the input sizes it takes from them before loading it). Not thread-safe; one per thread.
class ParamShapes {
public:
    ParamShapes();
    ~ParamShapes();

    // 0, or a code of <ncnn/errors.h> with the reason in last_error(); the path is UTF-8.
    int load_param(const char *protopath);
    int load_param_mem(const char *mem);

    // The tops of the Input layers, and the blobs that no layer reads, in file order.
    std::vector<std::string> input_names() const;
    std::vector<std::string> output_names() const;

    // The w x h x c of `blob` when every input is w x h x c. ERROR_BAD_INPUT when a layer's shape
    // rule refuses what reaches it (last_error() names the layer and the shape), ERROR_FAILED for a
    // blob that does not exist.
    int blob_shape(const char *blob, int w, int h, int c, int &out_w, int &out_h, int &out_c);

    const std::string &last_error() const;

private:
    ParamShapes(const ParamShapes &) = delete;
    ParamShapes &operator=(const ParamShapes &) = delete;
    class Private;
    Private *const d;
};

} // namespace ncnn
