// Runs a graph on one Vulkan device: the wanted blob's inputs are uploaded once, every layer with a
// GPU form runs as kernels on device buffers, a layer without one runs on the CPU between its
// neighbours, and only the wanted blob comes back. Channels are grouped by four on the way up and
// ungrouped on the way down; on the device every blob stays grouped.
#include "backend.h"
#include "device.h"
#include "layers/gpu_layer.h"
#include "planner.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <unordered_map>

namespace ncnn {

namespace {

using brivelle::vk::BufferRef;
using brivelle::vk::GpuLayer;
using brivelle::vk::Stream;
using brivelle::vk::Tensor;

struct Step {
    // Null for a layer that runs on the CPU.
    std::unique_ptr<GpuLayer> gpu;
};

bool isPlain3d(const Mat &m)
{
    return m.dims == 3 && m.elemsize == 4 && m.elempack == 1 && m.data;
}

// What this device does with a graph, for the planner: what each GPU form takes over from the layers after
// it, and concatenations assembled in place from whole channel groups by the layers behind them.
class VulkanRules : public PlanRules {
public:
    explicit VulkanRules(const std::vector<Step> &steps, const Graph &graph)
        : PlanRules(vulkan_backend()), steps_(steps)
    {
        for (size_t i = 0; i < graph.layers.size(); i++)
            index_[graph.layers[i].get()] = i;
    }
    bool folds(const Layer &head, const std::vector<const Layer *> &folded, const Layer &next,
               int) const override
    {
        const GpuLayer *gpu = step(head).gpu.get();
        return gpu && gpu->folds(folded, next);
    }
    int concat_alignment() const override { return 4; }
    bool writes_into_part(const Layer &head, const std::vector<const Layer *> &folded) const override
    {
        const GpuLayer *gpu = step(head).gpu.get();
        return folded.empty() && gpu && gpu->writesIntoPart();
    }

private:
    const Step &step(const Layer &layer) const { return steps_[index_.at(&layer)]; }
    const std::vector<Step> &steps_;
    std::unordered_map<const Layer *, size_t> index_;
};

class VulkanPlan : public ExecutionPlan {
public:
    VulkanPlan(const Graph &graph, const VulkanDevice &device)
        : graph_(graph), device_(device), generation_(brivelle::vk::instance_generation())
    {}

    int compile(const Option &opt, std::string &err);
    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override;

private:
    // Runs a step with a GPU form into `preset` when given (a part of a concatenation's buffer).
    int runStep(Stream &s, const ExtractPlan &plan, int li, std::vector<Tensor> &live, const Tensor &preset,
                std::string &err) const;
    // A layer without a GPU form: its inputs come down, the reference layer runs, its outputs go up.
    // notOnGpu is set when an output is no plain 3-D blob, which the GPU cannot hold.
    int runOnCpu(Stream &s, int li, std::vector<Tensor> &live, const Option &opt, bool &notOnGpu,
                 std::string &err) const;
    static int upload(Stream &s, const Mat &m, const Tensor &t);

    const Graph &graph_;
    const VulkanDevice &device_;
    std::vector<Step> steps_;
    std::unique_ptr<ExecutionPlan> fallback_;
    std::unique_ptr<VulkanRules> rules_;
    std::unique_ptr<ExtractPlanCache> plans_;
    // The instance this plan's buffers and pipelines belong to.
    uint64_t generation_;
};

int VulkanPlan::compile(const Option &opt, std::string &err)
{
    fallback_ = reference_backend().compile(graph_, opt, nullptr, err);
    steps_.resize(graph_.layers.size());
    for (size_t li = 0; li < graph_.layers.size(); li++) {
        const Layer &layer = *graph_.layers[li];
        std::string why;
        if (!brivelle::vk::supports_on_gpu(layer, {}, Shape{}, why)) {
            std::fprintf(stderr, "brivelle: layer %s (%s) cannot run on %s (%s); it runs on the CPU\n",
                         layer.name.c_str(), layer.type.c_str(), device_.info.device_name(), why.c_str());
            continue;
        }
        std::string cause;
        const int rc =
            brivelle::vk::find_gpu_layer(layer.type)->create(layer, device_, steps_[li].gpu, cause);
        if (rc != 0) {
            err = "layer " + layer.name + ": " + cause;
            return rc;
        }
    }
    rules_ = std::make_unique<VulkanRules>(steps_, graph_);
    plans_ = std::make_unique<ExtractPlanCache>(graph_, *rules_);
    return 0;
}

int VulkanPlan::runStep(Stream &s, const ExtractPlan &plan, int li, std::vector<Tensor> &live,
                        const Tensor &preset, std::string &err) const
{
    const Layer &layer = *graph_.layers[size_t(li)];
    const GpuLayer &gpu = *steps_[size_t(li)].gpu;
    if (layer.role() == Role::Alias) {
        for (int t : layer.tops)
            live[size_t(t)] = live[size_t(layer.bottoms[0])];
        return 0;
    }
    Tensor out = preset;
    const int result = plan.result[size_t(li)];
    // A concatenation assembled in place by its producers is done already.
    if (!preset.empty() && plan.concat_group[size_t(li)] >= 0) {
        live[size_t(result)] = out;
        return 0;
    }

    // The layers folded into the step, each with its other operand.
    std::vector<brivelle::vk::FoldedLayer> folded;
    int t = layer.tops[0];
    for (int f : plan.folded[size_t(li)]) {
        const Layer &next = *graph_.layers[size_t(f)];
        brivelle::vk::FoldedLayer fl{&next, next.bottoms[0] == t ? 0 : 1, nullptr};
        if (next.bottoms.size() == 2)
            fl.other = &live[size_t(next.bottoms[size_t(1 - fl.position)])];
        folded.push_back(fl);
        t = next.tops[0];
    }
    std::vector<const Tensor *> in;
    for (int b : layer.bottoms)
        in.push_back(&live[size_t(b)]);
    int w = 0, h = 0, c = 0;
    bool fits = gpu.outputShape(in, w, h, c);
    for (const brivelle::vk::FoldedLayer &fl : folded)
        fits = fits && (!fl.other || (fl.other->w == w && fl.other->h == h && fl.other->c == c));
    if (!fits) {
        err = "layer " + layer.name + ": input shapes do not fit";
        return ERROR_BAD_INPUT;
    }
    if (out.empty() && !brivelle::vk::allocate(s, out, w, h, c)) {
        err = "layer " + layer.name + ": out of GPU memory";
        return ERROR_OUT_OF_MEMORY;
    }
    const int rc = gpu.forwardFolded(s, in, folded, out);
    if (rc != 0) {
        err = "layer " + layer.name +
              (rc == ERROR_OUT_OF_MEMORY ? ": out of GPU memory" : ": GPU dispatch failed");
        return rc == ERROR_OUT_OF_MEMORY || rc == ERROR_DEVICE_LOST ? rc : ERROR_FAILED;
    }
    live[size_t(result)] = out;
    return 0;
}

int VulkanPlan::runOnCpu(Stream &s, int li, std::vector<Tensor> &live, const Option &opt, bool &notOnGpu,
                         std::string &err) const
{
    const Layer &layer = *graph_.layers[size_t(li)];
    const std::string where = "layer " + layer.name + " (" + layer.type + ") on the CPU";
    // Its inputs come down in one wait.
    std::vector<std::vector<float>> host(layer.bottoms.size());
    for (size_t k = 0; k < layer.bottoms.size(); k++) {
        const Tensor &t = live[size_t(layer.bottoms[k])];
        host[k].resize(t.count());
        if (t.empty() || t.offset != 0 || s.download(t.buf, t.bytes(), host[k].data()) != 0) {
            err = where + ": cannot download its input";
            return ERROR_FAILED;
        }
    }
    if (const int rc = s.finish(); rc != 0) {
        err = rc == ERROR_DEVICE_LOST ? "the GPU was lost (its driver reset it, or it was removed)"
                                      : "the GPU failed while running the network";
        return rc == ERROR_DEVICE_LOST ? rc : ERROR_FAILED;
    }
    std::vector<Mat> bottoms(layer.bottoms.size()), tops(layer.tops.size());
    for (size_t k = 0; k < bottoms.size(); k++) {
        const Tensor &t = live[size_t(layer.bottoms[k])];
        bottoms[k].create(t.w, t.h, t.c, 4u, opt.workspace_allocator);
        if (bottoms[k].empty()) {
            err = where + ": out of memory";
            return ERROR_OUT_OF_MEMORY;
        }
        brivelle::vk::unpack(host[k].data(), t.w, t.h, t.c, static_cast<float *>(bottoms[k].data),
                             bottoms[k].cstep);
    }
    const int rc = forward_on_host(layer, bottoms, tops, opt);
    if (rc != 0) {
        err = where +
              (rc == ERROR_OUT_OF_MEMORY ? ": out of memory" : ": failed with code " + std::to_string(rc));
        return rc;
    }
    for (size_t k = 0; k < tops.size(); k++) {
        const Mat &m = tops[k];
        if (!isPlain3d(m)) {
            notOnGpu = true;
            return 0;
        }
        Tensor &t = live[size_t(layer.tops[k])];
        if (!brivelle::vk::allocate(s, t, m.w, m.h, m.c)) {
            err = where + ": out of GPU memory for its output";
            return ERROR_OUT_OF_MEMORY;
        }
        if (const int up = upload(s, m, t); up != 0) {
            err = where + ": cannot upload its output";
            return up;
        }
    }
    return 0;
}

int VulkanPlan::upload(Stream &s, const Mat &m, const Tensor &t)
{
    return brivelle::vk::upload_planes(s, static_cast<const float *>(m.data), m.cstep, t);
}

int VulkanPlan::run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err)
{
    if (wanted < 0 || size_t(wanted) >= blobs.size() || blobs.size() != graph_.blobs.size()) {
        err = "no such blob";
        return ERROR_FAILED;
    }
    if (!blobs[size_t(wanted)].empty())
        return 0;
    if (generation_ != brivelle::vk::instance_generation()) {
        err = "the GPU instance was destroyed after this network was set up; load it again";
        return ERROR_FAILED;
    }

    int code = 0;
    const std::shared_ptr<const ExtractPlan> plan = plans_->get(known_shapes(blobs), wanted, code, err);
    if (!plan)
        return code;
    for (int b : plan->inputs)
        if (!isPlain3d(blobs[size_t(b)]))
            return fallback_ ? fallback_->run(blobs, wanted, opt, err) : ERROR_BAD_INPUT;

    Stream s(device_);
    std::vector<Tensor> live(blobs.size());
    // Views into one buffer (concatenation parts, pass-through tops) share it: it goes once none holds it.
    std::map<const brivelle::vk::Buffer *, int> sharing;
    auto hold = [&](int blob) {
        if (live[size_t(blob)].buf)
            sharing[live[size_t(blob)].buf.get()]++;
    };
    auto letGo = [&](const std::shared_ptr<brivelle::vk::Buffer> &buf) {
        auto it = sharing.find(buf.get());
        if (it != sharing.end() && --it->second == 0) {
            sharing.erase(it);
            s.retire(buf);
        }
    };
    auto drop = [&](int blob) {
        Tensor &t = live[size_t(blob)];
        if (t.buf)
            letGo(t.buf);
        t = Tensor{};
    };

    // The buffer of each concatenation group, made as its first part exists; the part is copied in.
    std::vector<Tensor> arenas(plan->concat_groups.size());
    std::vector<size_t> concatsLeft(plan->concat_groups.size());
    auto startGroup = [&](int blob) -> int {
        const int g = plan->part_group[size_t(blob)];
        if (g < 0 || plan->part_index[size_t(blob)] != 0 || !arenas[size_t(g)].empty())
            return 0;
        const Tensor &first = live[size_t(blob)];
        if (!brivelle::vk::allocate(s, arenas[size_t(g)], first.w, first.h,
                                    plan->concat_groups[size_t(g)].channels)) {
            err = "out of GPU memory for a concatenation";
            return ERROR_OUT_OF_MEMORY;
        }
        concatsLeft[size_t(g)] = plan->concat_groups[size_t(g)].concats.size();
        sharing[arenas[size_t(g)].buf.get()]++;
        return brivelle::vk::place(s, first, arenas[size_t(g)], 0, 0, 0) == 0 ? 0 : ERROR_FAILED;
    };
    // Where a step's result goes when it belongs to a concatenation group: a view into the group's buffer.
    auto presetFor = [&](int li) {
        Tensor view;
        const int result = plan->result[size_t(li)];
        int g = plan->concat_group[size_t(li)];
        const bool part = g < 0 && result >= 0 && plan->part_index[size_t(result)] > 0;
        if (part)
            g = plan->part_group[size_t(result)];
        if (g < 0 || arenas[size_t(g)].empty())
            return view;
        const ConcatGroup &group = plan->concat_groups[size_t(g)];
        view = arenas[size_t(g)];
        view.c = plan->shapes[size_t(result)].c;
        if (part)
            view.offset = size_t(group.offsets[size_t(plan->part_index[size_t(result)])]) * size_t(view.w) *
                          size_t(view.h);
        return view;
    };

    // One upload: every known input is packed into one staging copy per blob.
    for (int b : plan->inputs) {
        const Mat &m = blobs[size_t(b)];
        Tensor &t = live[size_t(b)];
        if (!brivelle::vk::allocate(s, t, m.w, m.h, m.c)) {
            err = "out of GPU memory for input '" + graph_.blobs[size_t(b)].name + "'";
            return ERROR_OUT_OF_MEMORY;
        }
        const int rc = upload(s, m, t);
        if (rc != 0) {
            err = "cannot upload input '" + graph_.blobs[size_t(b)].name + "'";
            return rc;
        }
        hold(b);
        if (const int grc = startGroup(b); grc != 0)
            return grc;
    }

    // Recorded layers: the recording keeps pace with the GPU, so this is how far the GPU is too.
    const int stepCount = int(plan->steps.size());
    int stepsDone = 0;
    for (int i : plan->steps) {
        ++stepsDone;
        if (graph_.layers[size_t(i)]->role() == Role::Input)
            continue;
        // Recording waits for older submissions once enough are in flight, so this check keeps pace
        // with the GPU.
        if (stop_requested(opt)) {
            err = "stopped on request";
            return ERROR_CANCELLED;
        }
        const Layer &layer = *graph_.layers[size_t(i)];
        const bool onGpu = plan->on_backend[size_t(i)];
        const Tensor preset = onGpu ? presetFor(i) : Tensor{};
        bool notOnGpu = false;
        const int rc =
            onGpu ? runStep(s, *plan, i, live, preset, err) : runOnCpu(s, i, live, opt, notOnGpu, err);
        if (rc == 0 && notOnGpu)
            return fallback_ ? fallback_->run(blobs, wanted, opt, err) : ERROR_BAD_INPUT;
        if (rc != 0)
            return rc;
        const std::vector<int> tops =
            plan->folded[size_t(i)].empty() ? layer.tops : std::vector<int>{plan->result[size_t(i)]};
        for (int t : tops) {
            hold(t);
            if (const int grc = startGroup(t); grc != 0)
                return grc;
        }
        const int g = plan->concat_group[size_t(i)];
        // After the group's last concatenation only its views keep the buffer.
        if (!preset.empty() && g >= 0 && --concatsLeft[size_t(g)] == 0)
            letGo(arenas[size_t(g)].buf);
        if (opt.lightmode)
            for (int b : plan->releases[size_t(i)])
                drop(b);
        report_progress(opt, stepsDone, stepCount);
    }

    // One download: the wanted blob.
    const Tensor &result = live[size_t(wanted)];
    if (result.empty() || result.offset != 0) {
        err = "blob '" + graph_.blobs[size_t(wanted)].name + "' was not computed";
        return ERROR_FAILED;
    }
    std::vector<float> host(result.count());
    if (const int rc = s.download(result.buf, result.bytes(), host.data()); rc != 0) {
        err = "cannot download '" + graph_.blobs[size_t(wanted)].name + "'";
        return rc;
    }
    if (const int rc = s.finish(); rc != 0) {
        err = rc == ERROR_DEVICE_LOST ? "the GPU was lost (its driver reset it, or it was removed)"
                                      : "the GPU failed while running the network";
        return rc == ERROR_DEVICE_LOST ? rc : ERROR_FAILED;
    }
    Mat out;
    out.create(result.w, result.h, result.c, 4u, opt.blob_allocator);
    if (out.empty()) {
        err = "out of memory for the result";
        return ERROR_OUT_OF_MEMORY;
    }
    brivelle::vk::unpack(host.data(), result.w, result.h, result.c, static_cast<float *>(out.data),
                         out.cstep);
    blobs[size_t(wanted)] = out;
    return 0;
}

class VulkanBackend : public Backend {
public:
    const char *name() const override { return "vulkan"; }
    int priority() const override { return 300; }

    bool available(const Option &opt, const VulkanDevice *vkdev) const override
    {
        // A device of an instance destroyed since it was bound is no device.
        return vkdev && opt.use_vulkan_compute && brivelle::vk::is_live_device(vkdev);
    }

    // Layers without a GPU form run on the CPU inside the plan; a graph with no work for the GPU is left to
    // the CPU's own backends (runs_graph).
    bool supports(const Layer &layer, const std::vector<Shape> &in, const Shape &out,
                  std::string &why) const override
    {
        return brivelle::vk::supports_on_gpu(layer, in, out, why);
    }

    std::unique_ptr<ExecutionPlan> compile(const Graph &graph, const Option &opt, const VulkanDevice *vkdev,
                                           std::string &err) const override
    {
        if (!vkdev || !brivelle::vk::is_live_device(vkdev)) {
            err = "no Vulkan device";
            return nullptr;
        }
        auto plan = std::make_unique<VulkanPlan>(graph, *vkdev);
        if (plan->compile(opt, err) != 0)
            return nullptr;
        return plan;
    }
};

} // namespace

const Backend &vulkan_backend()
{
    static const VulkanBackend backend;
    return backend;
}

} // namespace ncnn
