#include "backend.h"
#include "file_io.h"
#include "graph.h"
#include "mat_convert.h"

#include <ncnn/gpu.h>
#include <ncnn/net.h>

#include <cstring>
#include <memory>
#include <mutex>

namespace ncnn {

namespace {

// Real .param files are a few hundred KiB; anything this big is not a network description.
constexpr size_t kMaxParamBytes = size_t(64) << 20;
constexpr size_t kMaxModelBytes = size_t(4) << 30;

} // namespace

class NetPrivate {
public:
    Graph graph;
    bool param_loaded = false;
    bool model_loaded = false;
    bool pipelines_created = false;
    std::string error;
    const VulkanDevice *vkdev = nullptr;

    // Compiled on the first extract; dropped by clear() and by every load.
    std::mutex plan_mutex;
    std::shared_ptr<ExecutionPlan> plan;
    const Backend *plan_backend = nullptr;

    // Reads every layer's weights from mb and creates the pipelines; a failure leaves nothing loaded.
    int load_weights_into(Net &net, const ModelBin &mb);

    void drop_plan()
    {
        std::lock_guard<std::mutex> lock(plan_mutex);
        plan.reset();
        plan_backend = nullptr;
    }
};

class ExtractorPrivate {
public:
    const Net *net = nullptr;
    Option opt;
    std::vector<Mat> blobs;
    std::string error;
};

Net::Net() : d(new NetPrivate) {}

Net::~Net()
{
    clear();
    delete d;
}

void Net::set_vulkan_device(int device_index)
{
    d->vkdev = device_index >= 0 && device_index < get_gpu_count() ? get_gpu_device(device_index) : nullptr;
    d->drop_plan();
}

void Net::set_vulkan_device(const VulkanDevice *vkdev)
{
    d->vkdev = vkdev;
    d->drop_plan();
}

const VulkanDevice *Net::vulkan_device() const
{
    return d->vkdev;
}

int Net::load_param_mem(const char *mem)
{
    clear();
    if (!mem) {
        d->error = "no .param text given";
        return ERROR_FAILED;
    }
    if (const int code = parse_param(mem, std::strlen(mem), d->graph, d->error); code != 0)
        return code;
    d->param_loaded = true;
    return 0;
}

int Net::load_param(const char *protopath)
{
    clear();
    std::vector<unsigned char> bytes;
    if (const int code = read_file(protopath, kMaxParamBytes, bytes, d->error); code != 0)
        return code;
    if (const int code =
            parse_param(reinterpret_cast<const char *>(bytes.data()), bytes.size(), d->graph, d->error);
        code != 0) {
        d->error = std::string(protopath) + ": " + d->error;
        return code;
    }
    d->param_loaded = true;
    return 0;
}

int Net::load_model_mem(const unsigned char *data, size_t size)
{
    return d->load_weights_into(*this, ModelBin(data, size));
}

int NetPrivate::load_weights_into(Net &net, const ModelBin &mb)
{
    if (!param_loaded) {
        error = "load_param must succeed before load_model";
        return ERROR_FAILED;
    }
    drop_plan();
    if (const int code = load_weights(mb, graph, error); code != 0) {
        // A half-loaded network must not run: drop it entirely.
        const std::string why = error;
        net.clear();
        error = why;
        return code;
    }
    for (auto &layer : graph.layers) {
        if (layer->create_pipeline(net.opt) != 0) {
            const std::string why = "layer " + layer->name + " (" + layer->type + "): create_pipeline failed";
            net.clear();
            error = why;
            return ERROR_FAILED;
        }
    }
    pipelines_created = true;
    model_loaded = true;
    return 0;
}

int Net::load_model_mixed(const char *modelpath, const char *second_protopath, const char *second_modelpath,
                          float weight)
{
    if (!d->param_loaded) {
        d->error = "load_param must succeed before load_model_mixed";
        return ERROR_FAILED;
    }
    if (!(weight >= 0.f && weight <= 1.f)) {
        d->error = "the weight of the second network must be from 0 to 1";
        return ERROR_FAILED;
    }
    // The second network is described and loaded on its own first; its arrays are then mixed into
    // this network's as they are read.
    std::vector<unsigned char> second_param, first_bin, second_bin;
    Graph second;
    std::string why;
    int code = read_file(second_protopath, kMaxParamBytes, second_param, d->error);
    if (code != 0)
        return code;
    if ((code = parse_param(reinterpret_cast<const char *>(second_param.data()), second_param.size(), second,
                            why)) != 0) {
        d->error = std::string(second_protopath) + ": " + why;
        return code;
    }
    if ((code = read_file(second_modelpath, kMaxModelBytes, second_bin, d->error)) != 0)
        return code;
    if ((code = first_layer_difference(d->graph, second, why)) != 0) {
        d->error = why;
        return code;
    }
    LayerWeights theirs;
    ModelBin recorder(second_bin.data(), second_bin.size());
    recorder.record_into(&theirs);
    if ((code = load_weights(recorder, second, why)) != 0) {
        d->error = std::string(second_modelpath) + ": " + why;
        return code;
    }
    if ((code = read_file(modelpath, kMaxModelBytes, first_bin, d->error)) != 0)
        return code;
    ModelBin mixer(first_bin.data(), first_bin.size());
    mixer.mix_with(&theirs, weight);
    return d->load_weights_into(*this, mixer);
}

int Net::load_model(const char *modelpath)
{
    if (!d->param_loaded) {
        d->error = "load_param must succeed before load_model";
        return ERROR_FAILED;
    }
    std::vector<unsigned char> bytes;
    if (const int code = read_file(modelpath, kMaxModelBytes, bytes, d->error); code != 0)
        return code;
    const int ret = load_model_mem(bytes.data(), bytes.size());
    if (ret != 0)
        d->error = std::string(modelpath) + ": " + d->error;
    return ret;
}

void Net::clear()
{
    d->drop_plan();
    if (d->pipelines_created)
        for (auto &layer : d->graph.layers)
            layer->destroy_pipeline(opt);
    d->graph.clear();
    d->param_loaded = false;
    d->model_loaded = false;
    d->pipelines_created = false;
    d->error.clear();
}

Extractor Net::create_extractor() const
{
    return Extractor(this, d->graph.blobs.size());
}

const std::string &Net::last_error() const
{
    return d->error;
}

// ---- Extractor ----

Extractor::Extractor(const Net *net, size_t blob_count) : d(new ExtractorPrivate)
{
    d->net = net;
    d->opt = net->opt;
    d->blobs.resize(blob_count);
}

Extractor::~Extractor()
{
    delete d;
}

Extractor::Extractor(const Extractor &other) : d(new ExtractorPrivate(*other.d)) {}

Extractor &Extractor::operator=(const Extractor &other)
{
    if (this != &other)
        *d = *other.d;
    return *this;
}

void Extractor::clear()
{
    for (Mat &m : d->blobs)
        m.release();
}

void Extractor::set_light_mode(bool enable)
{
    d->opt.lightmode = enable;
}
void Extractor::set_stop_request(const std::atomic<bool> *stop)
{
    d->opt.stop_request = stop;
}
void Extractor::set_progress(const std::function<void(int done, int total)> *progress)
{
    d->opt.progress = progress;
}
void Extractor::set_num_threads(int num_threads)
{
    d->opt.num_threads = num_threads > 0 ? num_threads : 1;
}
void Extractor::set_blob_allocator(Allocator *allocator)
{
    d->opt.blob_allocator = allocator;
}
void Extractor::set_workspace_allocator(Allocator *allocator)
{
    d->opt.workspace_allocator = allocator;
}

int Extractor::input(const char *blob_name, const Mat &in)
{
    const int index = blob_name ? d->net->d->graph.find_blob(blob_name) : -1;
    if (index < 0) {
        d->error = std::string("no blob named '") + (blob_name ? blob_name : "") + "'";
        return ERROR_FAILED;
    }
    if (static_cast<size_t>(index) >= d->blobs.size()) {
        d->error = "the network changed after this extractor was created";
        return ERROR_FAILED;
    }
    if (in.empty()) {
        d->error = std::string("input '") + blob_name + "' is empty";
        return ERROR_BAD_INPUT;
    }
    d->blobs[index] = in;
    return 0;
}

int Extractor::extract(const char *blob_name, Mat &feat, int type)
{
    feat.release();
    NetPrivate &net = *d->net->d;
    if (!net.param_loaded || !net.model_loaded) {
        d->error = "the network is not loaded";
        return ERROR_FAILED;
    }
    const int index = blob_name ? net.graph.find_blob(blob_name) : -1;
    if (index < 0) {
        d->error = std::string("no blob named '") + (blob_name ? blob_name : "") + "'";
        return ERROR_FAILED;
    }
    if (d->blobs.size() != net.graph.blobs.size()) {
        d->error = "the network changed after this extractor was created";
        return ERROR_FAILED;
    }
    if (d->opt.num_threads <= 0)
        d->opt.num_threads = 1;

    std::shared_ptr<ExecutionPlan> plan;
    {
        std::lock_guard<std::mutex> lock(net.plan_mutex);
        if (!net.plan) {
            const VulkanDevice *vkdev = d->opt.use_vulkan_compute ? net.vkdev : nullptr;
            const Backend *backend = choose_backend(net.graph, d->opt, vkdev);
            std::string why;
            net.plan = backend->compile(net.graph, d->opt, vkdev, why);
            if (!net.plan) {
                // A fast path that cannot compile this graph must not stop the network from running.
                backend = &reference_backend();
                net.plan = backend->compile(net.graph, d->opt, nullptr, why);
            }
            net.plan_backend = backend;
        }
        plan = net.plan;
    }
    int ret = plan->run(d->blobs, index, d->opt, d->error);
    if (ret != 0) {
        if (d->error.empty())
            d->error = "inference failed with code " + std::to_string(ret);
        return ret;
    }
    Mat out = d->blobs[index];
    if (type == 0) {
        ret = convert_to_fp32_unpacked(out, feat, d->opt.blob_allocator);
        if (ret != 0) {
            feat.release();
            d->error = ret == ERROR_OUT_OF_MEMORY ? "out of memory while unpacking the result"
                                                  : "cannot unpack the result";
            return ret;
        }
    } else {
        feat = out;
    }
    return 0;
}

const std::string &Extractor::last_error() const
{
    return d->error;
}

} // namespace ncnn
