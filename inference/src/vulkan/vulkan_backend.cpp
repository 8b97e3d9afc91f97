// Runs a graph on one Vulkan device: the wanted blob's inputs are uploaded once, every layer with a
// GPU form runs as kernels on device buffers, a layer without one runs on the CPU between its
// neighbours, and only the wanted blob comes back. Channels are grouped by four on the way up and
// ungrouped on the way down; on the device every blob stays grouped.
#include "backend.h"
#include "device.h"
#include "layers/gpu_layer.h"
#include "schedule.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>

namespace ncnn {

namespace {

using brivelle::vk::BufferRef;
using brivelle::vk::GpuLayer;
using brivelle::vk::Stream;
using brivelle::vk::Tensor;

struct Step {
    // Null for a layer that runs on the CPU.
    std::unique_ptr<GpuLayer> gpu;
    // For a sum that takes over a convolution's output: that convolution's layer, and the index of the
    // bottom it produces; -1 when nothing is fused.
    int fusedConv = -1;
    int fusedBottom = -1;
    // The sum's weights of the convolution's result and of the other blob.
    float fusedA = 1.f, fusedB = 1.f;

    const brivelle::vk::Convolution *convolution() const { return gpu ? gpu->convolution() : nullptr; }
    bool is(GpuLayer::Role r) const { return gpu && gpu->role() == r; }
};

bool isPlain3d(const Mat &m)
{
    return m.dims == 3 && m.elemsize == 4 && m.elempack == 1 && m.data;
}

class VulkanPlan : public ExecutionPlan {
public:
    VulkanPlan(const Graph &graph, const VulkanDevice &device)
        : graph_(graph), device_(device), schedules_(graph), generation_(brivelle::vk::instance_generation())
    {}

    int compile(const Option &opt, std::string &err);
    int run(std::vector<Mat> &blobs, int wanted, const Option &opt, std::string &err) override;

private:
    int runLayer(Stream &s, int li, std::vector<Tensor> &live, const Tensor &preset, std::string &err) const;
    // A layer without a GPU form: its inputs come down, the reference layer runs, its outputs go up.
    // notOnGpu is set when an output is no plain 3-D blob, which the GPU cannot hold.
    int runOnCpu(Stream &s, int li, std::vector<Tensor> &live, const Option &opt, bool &notOnGpu,
                 std::string &err) const;
    static int upload(Stream &s, const Mat &m, const Tensor &t);
    void findConcatGroups();
    bool fusable(int eltwiseLayer, const std::vector<char> &known, int wanted) const;

    // What a run does beyond the shared schedule: which convolutions a sum takes over, the readers left
    // once it has, and whether the concat groups stand. Made once per known blobs and wanted blob, and
    // reused by every tile.
    struct RunSchedule {
        std::shared_ptr<const Schedule> schedule;
        std::vector<char> fusedAway;
        std::vector<int> readers;
        bool useGroups = false;
    };
    std::shared_ptr<const RunSchedule> runSchedule(const std::vector<char> &known, int wanted, int &code,
                                                   std::string &err);

    const Graph &graph_;
    const VulkanDevice &device_;
    std::vector<Step> steps_;
    std::unique_ptr<ExecutionPlan> fallback_;
    ScheduleCache schedules_;
    std::mutex runMutex_;
    std::map<std::pair<std::vector<char>, int>, std::shared_ptr<const RunSchedule>> runs_;
    // The instance this plan's buffers and pipelines belong to.
    uint64_t generation_;

    // Channel concatenations that share their inputs, as the dense blocks of RRDBNet do: one buffer
    // holds them all, the first input is copied in, the convolutions behind the others write straight
    // into it, and each Concat is a prefix of it; nothing else is copied.
    struct ConcatGroup {
        std::vector<int> roots;
        std::vector<int> concats;
    };
    std::vector<ConcatGroup> groups_;
    std::vector<int> rootGroup_, rootIndex_, concatGroup_;
};

int VulkanPlan::compile(const Option &opt, std::string &err)
{
    fallback_ = reference_backend().compile(graph_, opt, nullptr, err);
    steps_.resize(graph_.layers.size());
    for (size_t li = 0; li < graph_.layers.size(); li++) {
        const Layer &layer = *graph_.layers[li];
        std::string why;
        if (!brivelle::vk::runs_on_gpu(layer, &why)) {
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

    // A convolution whose only reader adds it to another blob writes the sum itself: one pass over
    // the output instead of two. Residual blocks are made of these.
    for (size_t li = 0; li < graph_.layers.size(); li++) {
        const Layer &layer = *graph_.layers[li];
        Step &st = steps_[li];
        float ca = 1.f, cb = 1.f;
        if (!st.gpu || !st.gpu->weightedSum(ca, cb) || layer.bottoms[0] == layer.bottoms[1])
            continue;
        for (int k = 0; k < 2; k++) {
            const GraphBlob &blob = graph_.blobs[size_t(layer.bottoms[size_t(k)])];
            if (blob.producer < 0 || blob.consumers.size() != 1 ||
                !steps_[size_t(blob.producer)].convolution())
                continue;
            st.fusedA = k == 0 ? ca : cb;
            st.fusedB = k == 0 ? cb : ca;
            st.fusedConv = blob.producer;
            st.fusedBottom = k;
            break;
        }
    }
    findConcatGroups();
    return 0;
}

void VulkanPlan::findConcatGroups()
{
    const size_t layerCount = graph_.layers.size();
    rootGroup_.assign(graph_.blobs.size(), -1);
    rootIndex_.assign(graph_.blobs.size(), -1);
    concatGroup_.assign(layerCount, -1);
    // The blob behind any chain of Splits.
    auto rootOf = [&](int b) {
        for (;;) {
            const int p = graph_.blobs[size_t(b)].producer;
            if (p < 0 || !steps_[size_t(p)].is(GpuLayer::Role::Alias))
                return b;
            b = graph_.layers[size_t(p)]->bottoms[0];
        }
    };
    struct Cat {
        int layer;
        std::vector<int> roots;
    };
    std::vector<Cat> cats;
    for (size_t li = 0; li < layerCount; li++) {
        const Layer &layer = *graph_.layers[li];
        if (!steps_[li].gpu || !steps_[li].gpu->channelConcat())
            continue;
        Cat c{int(li), {}};
        for (int b : layer.bottoms)
            c.roots.push_back(rootOf(b));
        cats.push_back(c);
    }
    std::stable_sort(cats.begin(), cats.end(),
                     [](const Cat &a, const Cat &b) { return a.roots.size() > b.roots.size(); });
    std::vector<char> taken(cats.size(), 0);
    for (size_t i = 0; i < cats.size(); i++) {
        if (taken[i])
            continue;
        ConcatGroup g;
        g.roots = cats[i].roots;
        std::vector<size_t> members = {i};
        for (size_t j = i + 1; j < cats.size(); j++) {
            const std::vector<int> &r = cats[j].roots;
            if (!taken[j] && std::equal(r.begin(), r.end(), g.roots.begin()))
                members.push_back(j);
        }
        std::vector<char> inGroup(layerCount, 0);
        for (size_t m : members)
            inGroup[size_t(cats[m].layer)] = 1;
        // Every input but the first must come from a convolution and be read by this group's Concats
        // alone, and no blob may appear twice.
        bool ok = members.size() >= 2;
        std::function<bool(int)> readOnlyByGroup = [&](int b) {
            for (int c : graph_.blobs[size_t(b)].consumers) {
                if (steps_[size_t(c)].is(GpuLayer::Role::Alias)) {
                    for (int t : graph_.layers[size_t(c)]->tops)
                        if (!readOnlyByGroup(t))
                            return false;
                } else if (!inGroup[size_t(c)]) {
                    return false;
                }
            }
            return true;
        };
        for (size_t k = 0; k < g.roots.size() && ok; k++) {
            const int r = g.roots[k];
            ok = rootGroup_[size_t(r)] < 0 && std::count(g.roots.begin(), g.roots.end(), r) == 1;
            if (ok && k > 0) {
                const int p = graph_.blobs[size_t(r)].producer;
                ok = p >= 0 && steps_[size_t(p)].convolution() && readOnlyByGroup(r);
            }
        }
        if (!ok)
            continue;
        const int gi = int(groups_.size());
        for (size_t k = 0; k < g.roots.size(); k++) {
            rootGroup_[size_t(g.roots[k])] = gi;
            rootIndex_[size_t(g.roots[k])] = int(k);
        }
        for (size_t m : members) {
            taken[m] = 1;
            concatGroup_[size_t(cats[m].layer)] = gi;
            g.concats.push_back(cats[m].layer);
        }
        groups_.push_back(g);
    }
}

bool VulkanPlan::fusable(int li, const std::vector<char> &known, int wanted) const
{
    const Step &st = steps_[size_t(li)];
    if (st.fusedConv < 0)
        return false;
    const int blob = graph_.layers[size_t(li)]->bottoms[size_t(st.fusedBottom)];
    // The convolution's own result must not be asked for or already known.
    return blob != wanted && !known[size_t(blob)];
}

std::shared_ptr<const VulkanPlan::RunSchedule>
VulkanPlan::runSchedule(const std::vector<char> &known, int wanted, int &code, std::string &err)
{
    std::lock_guard<std::mutex> lock(runMutex_);
    std::shared_ptr<const RunSchedule> &entry = runs_[{known, wanted}];
    if (entry)
        return entry;
    auto made = std::make_shared<RunSchedule>();
    made->schedule = schedules_.get(known, wanted, code, err);
    if (!made->schedule) {
        runs_.erase({known, wanted});
        return nullptr;
    }
    const std::vector<char> &needed = made->schedule->needed;
    const size_t layerCount = graph_.layers.size();
    // Fused pairs: the sum runs the convolution, which then has nothing to do, and no longer reads the
    // convolution's result.
    made->fusedAway.assign(layerCount, 0);
    made->readers = made->schedule->readers;
    for (size_t i = 0; i < layerCount; i++) {
        if (needed[i] && fusable(int(i), known, wanted)) {
            made->fusedAway[size_t(steps_[i].fusedConv)] = 1;
            made->readers[size_t(graph_.layers[i]->bottoms[size_t(steps_[i].fusedBottom)])]--;
        }
    }
    // Concat groups are skipped when one of their blobs is asked for or given: those must stand alone.
    auto grouped = [&](int b) {
        for (;;) {
            if (rootGroup_[size_t(b)] >= 0)
                return true;
            const int p = graph_.blobs[size_t(b)].producer;
            if (p < 0 || !steps_[size_t(p)].is(GpuLayer::Role::Alias))
                return false;
            b = graph_.layers[size_t(p)]->bottoms[0];
        }
    };
    made->useGroups = !groups_.empty();
    for (size_t b = 0; b < known.size() && made->useGroups; b++)
        if ((known[b] || int(b) == wanted) && grouped(int(b)))
            made->useGroups = false;
    entry = made;
    return entry;
}

int VulkanPlan::runLayer(Stream &s, int li, std::vector<Tensor> &live, const Tensor &preset,
                         std::string &err) const
{
    const Layer &layer = *graph_.layers[size_t(li)];
    const Step &st = steps_[size_t(li)];
    const GpuLayer &gpu = *st.gpu;
    if (gpu.role() == GpuLayer::Role::Alias) {
        for (int t : layer.tops)
            live[size_t(t)] = live[size_t(layer.bottoms[0])];
        return 0;
    }
    Tensor out = preset;
    // A concatenation assembled in place by its producers is done already.
    if (!preset.empty() && gpu.channelConcat()) {
        live[size_t(layer.tops[0])] = out;
        return 0;
    }

    // A sum that took over a convolution runs that convolution with the other operand as residual.
    const bool fused = st.fusedConv >= 0 && live[size_t(layer.bottoms[size_t(st.fusedBottom)])].empty();
    const brivelle::vk::Convolution *conv = fused ? steps_[size_t(st.fusedConv)].convolution() : nullptr;
    const Tensor *convIn = fused ? &live[size_t(graph_.layers[size_t(st.fusedConv)]->bottoms[0])] : nullptr;
    const Tensor *other = fused ? &live[size_t(layer.bottoms[size_t(1 - st.fusedBottom)])] : nullptr;
    std::vector<const Tensor *> in;
    for (int b : layer.bottoms)
        in.push_back(&live[size_t(b)]);
    int w = 0, h = 0, c = 0;
    bool fits;
    if (fused) {
        int padl, padt;
        c = conv->params().outch;
        fits = convIn->c == conv->params().inch &&
               conv->outputShape(convIn->w, convIn->h, w, h, padl, padt) && other->w == w && other->h == h &&
               other->c == c;
    } else {
        fits = gpu.outputShape(in, w, h, c);
    }
    if (!fits) {
        err = "layer " + layer.name + ": input shapes do not fit";
        return ERROR_BAD_INPUT;
    }
    if (out.empty() && !brivelle::vk::allocate(s, out, w, h, c)) {
        err = "layer " + layer.name + ": out of GPU memory";
        return ERROR_OUT_OF_MEMORY;
    }
    const int rc =
        fused ? conv->forward(s, *convIn, out, other, st.fusedA, st.fusedB) : gpu.forward(s, in, out);
    if (rc != 0) {
        err = "layer " + layer.name +
              (rc == ERROR_OUT_OF_MEMORY ? ": out of GPU memory" : ": GPU dispatch failed");
        return rc == ERROR_OUT_OF_MEMORY ? rc : ERROR_FAILED;
    }
    live[size_t(layer.tops[0])] = out;
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
    if (s.finish() != 0) {
        err = "the GPU failed while running the network";
        return ERROR_FAILED;
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

    const std::vector<char> known = known_blobs(blobs);
    int code = 0;
    const std::shared_ptr<const RunSchedule> plan = runSchedule(known, wanted, code, err);
    if (!plan)
        return code;
    for (int b : plan->schedule->inputs)
        if (!isPlain3d(blobs[size_t(b)]))
            return fallback_ ? fallback_->run(blobs, wanted, opt, err) : ERROR_BAD_INPUT;
    const std::vector<char> &neededLayer = plan->schedule->needed;
    const std::vector<char> &fusedAway = plan->fusedAway;
    const std::vector<int> &uploads = plan->schedule->inputs;
    std::vector<int> readers = plan->readers;
    const bool useGroups = plan->useGroups;
    const size_t layerCount = graph_.layers.size();

    Stream s(device_);
    std::vector<Tensor> live(blobs.size());
    std::map<const brivelle::vk::Buffer *, int> sharing;
    auto hold = [&](int blob) {
        if (live[size_t(blob)].buf)
            sharing[live[size_t(blob)].buf.get()]++;
    };
    auto drop = [&](int blob) {
        Tensor &t = live[size_t(blob)];
        if (!t.buf || blob == wanted)
            return;
        auto it = sharing.find(t.buf.get());
        if (it != sharing.end() && --it->second == 0) {
            sharing.erase(it);
            s.retire(t.buf);
        }
        t = Tensor{};
    };

    struct GroupState {
        Tensor arena;
        std::vector<int> channelStart;
        size_t concatsLeft = 0;
    };
    std::vector<GroupState> groups(groups_.size());
    auto startGroup = [&](int blob) -> int {
        const int g = useGroups ? rootGroup_[size_t(blob)] : -1;
        if (g < 0 || rootIndex_[size_t(blob)] != 0 || !groups[size_t(g)].arena.empty())
            return 0;
        const Tensor &first = live[size_t(blob)];
        GroupState &gs = groups[size_t(g)];
        int channels = 0;
        std::vector<int> starts;
        for (int r : groups_[size_t(g)].roots) {
            // The views start at whole channel groups; a part of any other width is copied in by
            // its Concat instead.
            if (channels % 4 != 0)
                return 0;
            starts.push_back(channels);
            const int p = graph_.blobs[size_t(r)].producer;
            channels += r == blob ? first.c : steps_[size_t(p)].convolution()->params().outch;
        }
        gs.channelStart = starts;
        if (!brivelle::vk::allocate(s, gs.arena, first.w, first.h, channels)) {
            err = "out of GPU memory for a concatenation";
            return ERROR_OUT_OF_MEMORY;
        }
        gs.concatsLeft = groups_[size_t(g)].concats.size();
        sharing[gs.arena.buf.get()]++;
        return brivelle::vk::place(s, first, gs.arena, 0, 0, 0) == 0 ? 0 : ERROR_FAILED;
    };
    // Where a layer's result goes when it belongs to a concat group: a view into the group's buffer.
    auto presetFor = [&](size_t li) {
        Tensor view;
        const Layer &layer = *graph_.layers[li];
        if (!useGroups)
            return view;
        if (const brivelle::vk::Convolution *conv = steps_[li].convolution()) {
            const int top = layer.tops[0];
            const int g = rootGroup_[size_t(top)];
            if (g < 0 || groups[size_t(g)].arena.empty())
                return view;
            const GroupState &gs = groups[size_t(g)];
            const Tensor &in = live[size_t(layer.bottoms[0])];
            int outw, outh, padl, padt;
            if (!conv->outputShape(in.w, in.h, outw, outh, padl, padt) || outw != gs.arena.w ||
                outh != gs.arena.h)
                return view;
            view = gs.arena;
            view.c = conv->params().outch;
            view.offset =
                size_t(gs.channelStart[size_t(rootIndex_[size_t(top)])]) * size_t(outw) * size_t(outh);
        } else if (concatGroup_[li] >= 0 && !groups[size_t(concatGroup_[li])].arena.empty()) {
            const GroupState &gs = groups[size_t(concatGroup_[li])];
            view = gs.arena;
            view.c = 0;
            for (int b : layer.bottoms)
                view.c += live[size_t(b)].c;
        }
        return view;
    };

    // One upload: every known input is packed into one staging copy per blob.
    for (int b : uploads) {
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

    for (size_t i = 0; i < layerCount; i++) {
        if (!neededLayer[i] || fusedAway[i] || steps_[i].is(GpuLayer::Role::Input))
            continue;
        // Recording waits for older submissions once enough are in flight, so this check keeps pace
        // with the GPU.
        if (stop_requested(opt)) {
            err = "stopped on request";
            return ERROR_CANCELLED;
        }
        const Layer &layer = *graph_.layers[i];
        const Tensor preset = steps_[i].gpu ? presetFor(i) : Tensor{};
        bool notOnGpu = false;
        const int rc = steps_[i].gpu ? runLayer(s, int(i), live, preset, err)
                                     : runOnCpu(s, int(i), live, opt, notOnGpu, err);
        if (rc == 0 && notOnGpu)
            return fallback_ ? fallback_->run(blobs, wanted, opt, err) : ERROR_BAD_INPUT;
        if (rc != 0)
            return rc;
        for (int t : layer.tops) {
            hold(t);
            if (const int grc = startGroup(t); grc != 0)
                return grc;
        }
        if (!preset.empty() && concatGroup_[i] >= 0) {
            GroupState &gs = groups[size_t(concatGroup_[i])];
            // After the group's last Concat only its views keep the buffer.
            if (--gs.concatsLeft == 0) {
                auto it = sharing.find(gs.arena.buf.get());
                if (it != sharing.end() && --it->second == 0) {
                    sharing.erase(it);
                    s.retire(gs.arena.buf);
                }
            }
        }
        // Inputs whose last reader this was are dead now.
        auto consumed = [&](int b) {
            if (--readers[size_t(b)] <= 0 && opt.lightmode)
                drop(b);
        };
        if (steps_[i].fusedConv >= 0 && fusedAway[size_t(steps_[i].fusedConv)]) {
            consumed(graph_.layers[size_t(steps_[i].fusedConv)]->bottoms[0]);
            for (size_t k = 0; k < layer.bottoms.size(); k++)
                if (int(k) != steps_[i].fusedBottom)
                    consumed(layer.bottoms[k]);
        } else {
            for (int b : layer.bottoms)
                consumed(b);
        }
        // Results nobody reads (other tops of a Split) are dead at once.
        for (int t : layer.tops)
            if (readers[size_t(t)] == 0 && t != wanted && opt.lightmode)
                drop(t);
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
    if (s.finish() != 0) {
        err = "the GPU failed while running the network";
        return ERROR_FAILED;
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

    bool supports(const Graph &graph, const Option &opt, const VulkanDevice *vkdev) const override
    {
        // A device of an instance destroyed since it was bound is no device.
        if (!vkdev || !opt.use_vulkan_compute || graph.empty() || !brivelle::vk::is_live_device(vkdev))
            return false;
        // Layers without a GPU form run on the CPU inside the plan; a graph with no work for the GPU
        // is better left to the CPU's own backends.
        for (const auto &layer : graph.layers) {
            const brivelle::vk::GpuLayerEntry *e = brivelle::vk::find_gpu_layer(layer->type);
            if (e && e->computes && !e->unsupported(*layer))
                return true;
        }
        return false;
    }

    bool runs_layer(const Layer &layer) const override { return brivelle::vk::runs_on_gpu(layer); }

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
