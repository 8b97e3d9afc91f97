#pragma once

// What one extract runs, worked out once for every backend: the layers the wanted blob needs from the blobs
// already known, the shapes of their blobs, which layers the backend runs itself, which layers fold into
// the one before them, which channel concatenations are assembled in place by their producers, and when
// light mode may free each blob. A plan depends only on the known blobs' shapes and the wanted blob, so a
// backend keeps it for every tile of that shape (PlanCache).
#include "backend.h"
#include "graph.h"
#include "storage.h"

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ncnn {

// What a backend tells the planner about itself: which layers it runs (its supports()), and how it folds
// and assembles them. The defaults fold nothing and copy every concatenation, as the reference backend does.
class PlanRules {
public:
    // The reference backend's rules.
    PlanRules();
    explicit PlanRules(const Backend &backend) : backend_(backend) {}
    virtual ~PlanRules();
    const Backend &backend() const { return backend_; }
    // Whether `next` folds into the step headed by `head`, which has already folded `folded` (in order):
    // `next` reads the step's result as its input number `position`. The planner has checked that nothing
    // else reads that result, that it is neither known nor wanted, that both layers run on the backend and
    // that every other input of `next` exists, with the result's shape, before the head runs.
    virtual bool folds(const Layer &head, const std::vector<const Layer *> &folded, const Layer &next,
                       int position) const;
    // In-place channel concatenation: every part starts at a multiple of this many channels (0: the backend
    // copies every concatenation).
    virtual int concat_alignment() const;
    // Whether the step headed by `head` can write its result into a channel range of a bigger blob.
    virtual bool writes_into_part(const Layer &head, const std::vector<const Layer *> &folded) const;
    // The 16-bit storage this plan keeps blobs in where the layers that write and read them take it;
    // Fp32 (the default) keeps every blob in full precision.
    virtual Storage reduced_storage() const;
    // Whether the backend runs the layer, with these input shapes, on blobs in reduced_storage(). A blob
    // is reduced when its writer and every reader take it (a concatenation's buffer as a whole).
    virtual bool takes_reduced(const Layer &layer, const std::vector<Shape> &bottoms) const;
    // Whether such a layer also runs with some of its blobs in fp32 (it converts them itself); otherwise
    // one fp32 blob keeps all of its blobs in fp32.
    virtual bool mixes_storage(const Layer &layer) const;

private:
    const Backend &backend_;
};

// Channel concatenations assembled in one buffer: every part is written there by its producer (the first
// may be copied in instead, as the backend likes), and each concatenation is a prefix of the buffer, so
// none of them copies. The dense blocks of RRDBNet are made of these.
struct ConcatGroup {
    std::vector<int> parts;   // blobs, behind any aliases, in channel order
    std::vector<int> offsets; // the first channel of each part
    int channels = 0;         // of the whole buffer
    std::vector<int> concats; // the concatenation layers
};

struct ExtractPlan {
    // Per blob: its shape (dims 0 where no layer rule could tell), and the blob that holds its data behind
    // any chain of aliases (itself otherwise).
    std::vector<Shape> shapes;
    std::vector<int> source;
    // The steps in running order: a step is a layer with everything folded into it. Folded layers are no
    // steps of their own.
    std::vector<int> steps;
    // Per layer: whether the backend runs it (else its reference layer does), the layers folded into it
    // (steps only), the step it was folded into (-1 when it is none), and the blob its step leaves (the
    // last folded layer's top; -1 for folded layers).
    std::vector<char> on_backend;
    std::vector<std::vector<int>> folded;
    std::vector<int> folded_into;
    std::vector<int> result;
    // Per blob: how many steps read it. Per step: the blobs dead once it ran (their last reader, or a top
    // nobody reads), never a known or a wanted blob; light mode frees them.
    std::vector<int> readers;
    std::vector<std::vector<int>> releases;
    // Known blobs that steps read, in blob order.
    std::vector<int> inputs;
    std::vector<ConcatGroup> concat_groups;
    // Per blob: its group and part index (-1 when in none). Per layer: the group of a concatenation.
    std::vector<int> part_group, part_index;
    std::vector<int> concat_group;
    // Per blob: how the backend stores it (Fp32 for a blob no step touches). Known and wanted blobs are
    // fp32 outside the plan; a reduced one is converted at the plan's edge.
    std::vector<Storage> storage;
    int fused_layers = 0;
    // Memory, planned here for every backend. A root is one buffer: a blob with its aliases, or a
    // concatenation group's buffer with its parts, its concatenations and their aliases (groups are roots
    // 0 .. groups - 1). Per blob: its root, -1 where no step leaves or reads it. Per step: the roots dead
    // once it ran, every blob of theirs read for the last time; never the root of a wanted blob. A known
    // blob's root is the backend's copy of it (the caller's blob itself is never released). Buffers a backend
    // makes for itself inside one step (a reordered input, say) are its own, made and given back in that
    // step.
    std::vector<int> root;
    int root_count = 0;
    std::vector<std::vector<int>> root_releases;
};

// The shapes of the blobs a caller set (dims 0 for the others).
std::vector<Shape> known_shapes(const std::vector<Mat> &blobs);

// 0, or ERROR_BAD_INPUT with err naming an input blob a wanted one needs that was not set.
int make_plan(const Graph &graph, const std::vector<Shape> &known, const std::vector<int> &wanted,
              const PlanRules &rules, ExtractPlan &out, std::string &err);

// The one plan cache of the runtime: plans of one backend by a key of the known shapes, the wanted blobs and
// the options they were made with, each made once, so that the extracts of a tiled picture share them (its
// tiles have at most four shapes). Beyond `capacity` the least recently used goes. Thread-safe; a plan
// handed out stays valid while its holder keeps it.
template <class Plan> class PlanCache {
public:
    explicit PlanCache(size_t capacity) : capacity_(capacity ? capacity : 1) {}

    // The plan of `key`, made by make(std::shared_ptr<Plan> &) -> int when none is cached: 0, or make's code.
    template <class Make> int get(const std::vector<int> &key, std::shared_ptr<Plan> &plan, const Make &make)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->first == key) {
                entries_.splice(entries_.begin(), entries_, it);
                plan = entries_.front().second;
                return 0;
            }
        }
        if (const int rc = make(plan); rc != 0)
            return rc;
        ++made_;
        entries_.emplace_front(key, plan);
        while (entries_.size() > capacity_)
            entries_.pop_back();
        return 0;
    }
    size_t size() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_.size();
    }
    // Plans made so far.
    int made() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return made_;
    }

private:
    size_t capacity_;
    mutable std::mutex mutex_;
    std::list<std::pair<std::vector<int>, std::shared_ptr<Plan>>> entries_; // most recently used first
    int made_ = 0;
};

// The key of a plan: the known shapes, then the wanted blobs, then any options the plan depends on.
std::vector<int> plan_key(const std::vector<Shape> &known, const std::vector<int> &wanted,
                          const std::vector<int> &options = {});

// The planner's plans of one backend's rules, through the plan cache.
class ExtractPlanCache {
public:
    ExtractPlanCache(const Graph &graph, const PlanRules &rules) : graph_(graph), rules_(rules) {}
    // Null with err set, and the code in code, when an input is missing.
    std::shared_ptr<const ExtractPlan> get(const std::vector<Shape> &known, int wanted, int &code,
                                           std::string &err);

private:
    const Graph &graph_;
    const PlanRules &rules_;
    PlanCache<const ExtractPlan> plans_{16};
};

} // namespace ncnn
