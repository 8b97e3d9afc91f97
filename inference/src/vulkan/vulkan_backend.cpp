// Runs a graph on one Vulkan device: the wanted blob's inputs are uploaded once, every layer with a
// GPU form runs as kernels on device buffers, a layer without one runs on the CPU between its
// neighbours, and only the wanted blob comes back. Channels are grouped by four on the way up and
// ungrouped on the way down; on the device every blob stays grouped.
#include "backend.h"
#include "device.h"
#include "layers/concat_vulkan.h"
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

int upload_mat(Stream &s, const Mat &m, const Tensor &t)
{
    return brivelle::vk::upload_planes(s, static_cast<const float *>(m.data), m.cstep, t);
}

int finish(Stream &s, std::string &err)
{
    const int rc = s.finish();
    if (rc == 0)
        return 0;
    err = rc == ERROR_DEVICE_LOST ? "the GPU was lost (its driver reset it, or it was removed)"
                                  : "the GPU failed while running the network";
    return rc == ERROR_DEVICE_LOST ? rc : ERROR_FAILED;
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

// The state of one run: the device tensor of every blob, the buffers of the concatenation groups, and
// the stream recording it all. The plan says when each root buffer goes.
class VulkanRun {
public:
    VulkanRun(const Graph &graph, const ExtractPlan &plan, const VulkanDevice &device)
        : s(device), live(graph.blobs.size()), g_(graph), plan_(plan), arenas_(plan.concat_groups.size()),
          members_(size_t(plan.root_count))
    {
        for (size_t b = 0; b < plan.root.size(); b++)
            if (plan.root[b] >= 0)
                members_[size_t(plan.root[b])].push_back(int(b));
    }

    // Every known input packed and uploaded once.
    int upload(const std::vector<Mat> &blobs, std::string &err);
    // Makes the buffer of the group whose first part `blob` is, once that part exists, and copies it in.
    int startGroup(int blob, std::string &err);
    // Where a step's result goes when it belongs to a concatenation group: a view into the group's buffer.
    Tensor presetFor(int li) const;
    // Retires the buffers of the roots that are dead once step li ran.
    void release(int li);
    // The wanted blob, downloaded and ungrouped into a Mat from the caller's allocator.
    int download(int wanted, const Option &opt, Mat &out, std::string &err);

    Stream s;
    std::vector<Tensor> live;

private:
    const Graph &g_;
    const ExtractPlan &plan_;
    std::vector<Tensor> arenas_;
    std::vector<std::vector<int>> members_;
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
    // The plan's steps in order, with light mode's releases; notOnGpu as for runOnCpu.
    int runSteps(VulkanRun &r, const ExtractPlan &plan, const Option &opt, bool &notOnGpu,
                 std::string &err) const;

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
    if (const int rc = finish(s, err); rc != 0)
        return rc;
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
        if (const int up = upload_mat(s, m, t); up != 0) {
            err = where + ": cannot upload its output";
            return up;
        }
    }
    return 0;
}

int VulkanRun::upload(const std::vector<Mat> &blobs, std::string &err)
{
    for (int b : plan_.inputs) {
        const Mat &m = blobs[size_t(b)];
        Tensor &t = live[size_t(b)];
        if (!brivelle::vk::allocate(s, t, m.w, m.h, m.c)) {
            err = "out of GPU memory for input '" + g_.blobs[size_t(b)].name + "'";
            return ERROR_OUT_OF_MEMORY;
        }
        if (const int rc = upload_mat(s, m, t); rc != 0) {
            err = "cannot upload input '" + g_.blobs[size_t(b)].name + "'";
            return rc;
        }
        if (const int rc = startGroup(b, err); rc != 0)
            return rc;
    }
    return 0;
}

int VulkanRun::startGroup(int blob, std::string &err)
{
    const int g = plan_.part_group[size_t(blob)];
    if (g < 0 || plan_.part_index[size_t(blob)] != 0 || !arenas_[size_t(g)].empty())
        return 0;
    Tensor &first = live[size_t(blob)];
    Tensor &arena = arenas_[size_t(g)];
    if (!brivelle::vk::allocate(s, arena, first.w, first.h, plan_.concat_groups[size_t(g)].channels)) {
        err = "out of GPU memory for a concatenation";
        return ERROR_OUT_OF_MEMORY;
    }
    if (brivelle::vk::place(s, first, arena, 0, 0, 0) != 0) {
        err = "cannot copy a part into its concatenation";
        return ERROR_FAILED;
    }
    // From here on the part is read from the group's buffer, whose first channel groups it is.
    s.retire(first.buf);
    const int c = first.c;
    first = arena;
    first.c = c;
    return 0;
}

Tensor VulkanRun::presetFor(int li) const
{
    Tensor view;
    const int result = plan_.result[size_t(li)];
    int g = plan_.concat_group[size_t(li)];
    const bool part = g < 0 && result >= 0 && plan_.part_index[size_t(result)] > 0;
    if (part)
        g = plan_.part_group[size_t(result)];
    if (g < 0 || arenas_[size_t(g)].empty())
        return view;
    const ConcatGroup &group = plan_.concat_groups[size_t(g)];
    view = arenas_[size_t(g)];
    view.c = plan_.shapes[size_t(result)].c;
    if (part)
        view.offset =
            size_t(group.offsets[size_t(plan_.part_index[size_t(result)])]) * size_t(view.w) * size_t(view.h);
    return view;
}

void VulkanRun::release(int li)
{
    for (int r : plan_.root_releases[size_t(li)]) {
        // The blobs of a root share its buffers: each goes back to the stream once.
        std::vector<const brivelle::vk::Buffer *> retired;
        auto retire = [&](Tensor &t) {
            if (t.buf && std::find(retired.begin(), retired.end(), t.buf.get()) == retired.end()) {
                retired.push_back(t.buf.get());
                s.retire(t.buf);
            }
            t = Tensor{};
        };
        for (int b : members_[size_t(r)])
            retire(live[size_t(b)]);
        if (size_t(r) < arenas_.size())
            retire(arenas_[size_t(r)]);
    }
}

int VulkanRun::download(int wanted, const Option &opt, Mat &out, std::string &err)
{
    const Tensor &result = live[size_t(wanted)];
    if (result.empty() || result.offset != 0) {
        err = "blob '" + g_.blobs[size_t(wanted)].name + "' was not computed";
        return ERROR_FAILED;
    }
    std::vector<float> host(result.count());
    if (const int rc = s.download(result.buf, result.bytes(), host.data()); rc != 0) {
        err = "cannot download '" + g_.blobs[size_t(wanted)].name + "'";
        return rc;
    }
    if (const int rc = finish(s, err); rc != 0)
        return rc;
    out.create(result.w, result.h, result.c, 4u, opt.blob_allocator);
    if (out.empty()) {
        err = "out of memory for the result";
        return ERROR_OUT_OF_MEMORY;
    }
    brivelle::vk::unpack(host.data(), result.w, result.h, result.c, static_cast<float *>(out.data),
                         out.cstep);
    return 0;
}

int VulkanPlan::run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err)
{
    if (const int rc = begin_run(graph_, blobs, wanted, opt, err); rc != 0)
        return rc < 0 ? rc : 0;
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
            return fallback_->run(blobs, wanted, opt, err);

    VulkanRun r(graph_, *plan, device_);
    if (const int rc = r.upload(blobs, err); rc != 0)
        return rc;
    bool notOnGpu = false;
    if (const int rc = runSteps(r, *plan, opt, notOnGpu, err); rc != 0 || notOnGpu)
        return notOnGpu ? fallback_->run(blobs, wanted, opt, err) : rc;
    Mat out;
    if (const int rc = r.download(wanted, opt, out, err); rc != 0)
        return rc;
    blobs[size_t(wanted)] = out;
    return 0;
}

int VulkanPlan::runSteps(VulkanRun &r, const ExtractPlan &plan, const Option &opt, bool &notOnGpu,
                         std::string &err) const
{
    // The recording keeps pace with the GPU (it waits for older submissions once enough are in flight), so
    // the stop check and the progress keep pace with it too.
    const int stepCount = int(plan.steps.size());
    int stepsDone = 0;
    for (int i : plan.steps) {
        ++stepsDone;
        if (stop_requested(opt)) {
            err = "stopped on request";
            return ERROR_CANCELLED;
        }
        const Layer &layer = *graph_.layers[size_t(i)];
        const bool onGpu = plan.on_backend[size_t(i)];
        const int rc = onGpu ? runStep(r.s, plan, i, r.live, r.presetFor(i), err)
                             : runOnCpu(r.s, i, r.live, opt, notOnGpu, err);
        if (rc != 0 || notOnGpu)
            return rc;
        const std::vector<int> tops =
            plan.folded[size_t(i)].empty() ? layer.tops : std::vector<int>{plan.result[size_t(i)]};
        for (int t : tops)
            if (const int grc = r.startGroup(t, err); grc != 0)
                return grc;
        if (opt.lightmode)
            r.release(i);
        report_progress(opt, stepsDone, stepCount);
    }
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
