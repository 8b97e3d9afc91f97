#include "planner.h"

#include <algorithm>
#include <climits>

namespace ncnn {

PlanRules::PlanRules() : backend_(reference_backend()) {}
PlanRules::~PlanRules() = default;

bool PlanRules::folds(const Layer &, const std::vector<const Layer *> &, const Layer &, int) const
{
    return false;
}

int PlanRules::concat_alignment() const
{
    return 0;
}

bool PlanRules::writes_into_part(const Layer &, const std::vector<const Layer *> &) const
{
    return false;
}

Storage PlanRules::reduced_storage() const
{
    return Storage::Fp32;
}

bool PlanRules::takes_reduced(const Layer &, const std::vector<Shape> &) const
{
    return false;
}

bool PlanRules::mixes_storage(const Layer &) const
{
    return false;
}

const char *storage_name(Storage storage)
{
    switch (storage) {
    case Storage::Bf16:
        return "bf16";
    case Storage::Fp16:
        return "fp16";
    default:
        return "fp32";
    }
}

int storage_bytes(Storage storage)
{
    return storage == Storage::Fp32 ? 4 : 2;
}

std::vector<Shape> known_shapes(const std::vector<Mat> &blobs)
{
    std::vector<Shape> shapes(blobs.size());
    for (size_t b = 0; b < blobs.size(); b++)
        if (!blobs[b].empty())
            shapes[b] = shape_of(blobs[b]);
    return shapes;
}

namespace {

bool isKnown(const Shape &s)
{
    return s.dims > 0;
}

// Whether the shapes are 3-D images of one width and height: parts that one buffer's channels can hold.
bool sameImage(const std::vector<Shape> &shapes)
{
    for (const Shape &s : shapes)
        if (s.dims != 3 || s.w != shapes[0].w || s.h != shapes[0].h)
            return false;
    return !shapes.empty();
}

// Builds one plan; the steps below run in this order, each reading what the earlier ones left.
class Planner {
public:
    Planner(const Graph &graph, const std::vector<Shape> &known, const std::vector<int> &wanted,
            const PlanRules &rules, ExtractPlan &plan)
        : g_(graph), known_(known), wanted_(wanted), rules_(rules), p_(plan)
    {}

    int neededLayers(std::string &err);
    void inferShapes();
    void fuse();
    void countReaders();
    void groupConcats();
    void chooseStorage();
    void placeRoots();

private:
    bool given(int blob) const { return isKnown(known_[size_t(blob)]); }
    bool isWanted(int blob) const { return std::find(wanted_.begin(), wanted_.end(), blob) != wanted_.end(); }
    std::vector<Shape> shapesOf(const std::vector<int> &blobs) const;
    // The needed layers that read a blob.
    std::vector<int> readersOf(int blob) const;
    // Whether every reader of the blob, seen through pass-through layers, is one of `layers`.
    bool readOnlyBy(int blob, const std::vector<char> &layers) const;
    void tryConcatGroup(const std::vector<int> &members, const std::vector<std::vector<int>> &parts);
    std::vector<const Layer *> foldedLayers(int step) const;
    // The blobs a step leaves: its layer's tops, or the result of what it folded.
    std::vector<int> stepTops(int step) const;
    // The root of a blob that a step leaves or reads, made when it is the first of its root.
    int rootOf(int blob, std::vector<int> &ownRoot);

    const Graph &g_;
    const std::vector<Shape> &known_;
    const std::vector<int> &wanted_;
    const PlanRules &rules_;
    ExtractPlan &p_;
    std::vector<char> needed_;
    // Per layer: the blobs its step reads, the head's inputs and the other operands of what it folded.
    std::vector<std::vector<int>> reads_;
};

int Planner::neededLayers(std::string &err)
{
    needed_.assign(g_.layers.size(), 0);
    // Walk back from the wanted blob, stopping at blobs that are known.
    std::vector<char> visited(g_.blobs.size(), 0);
    std::vector<int> stack = wanted_;
    while (!stack.empty()) {
        const int b = stack.back();
        stack.pop_back();
        if (visited[size_t(b)] || given(b))
            continue;
        visited[size_t(b)] = 1;
        const int producer = g_.blobs[size_t(b)].producer;
        const Layer &layer = *g_.layers[size_t(producer)];
        if (layer.bottoms.empty()) {
            err = "input blob '" + g_.blobs[size_t(b)].name + "' was not set";
            return ERROR_BAD_INPUT;
        }
        needed_[size_t(producer)] = 1;
        for (int bottom : layer.bottoms)
            stack.push_back(bottom);
    }
    return 0;
}

std::vector<Shape> Planner::shapesOf(const std::vector<int> &blobs) const
{
    std::vector<Shape> shapes;
    for (int b : blobs)
        shapes.push_back(p_.shapes[size_t(b)]);
    return shapes;
}

void Planner::inferShapes()
{
    p_.shapes = known_;
    p_.source.resize(g_.blobs.size());
    for (size_t b = 0; b < g_.blobs.size(); b++)
        p_.source[b] = int(b);
    p_.on_backend.assign(g_.layers.size(), 0);
    for (size_t i = 0; i < g_.layers.size(); i++) {
        if (!needed_[i])
            continue;
        const Layer &layer = *g_.layers[i];
        const std::vector<Shape> in = shapesOf(layer.bottoms);
        if (layer.role() == Role::Alias) {
            for (size_t k = 0; k < layer.tops.size(); k++) {
                const int from = layer.bottoms[std::min(k, layer.bottoms.size() - 1)];
                p_.source[size_t(layer.tops[k])] = p_.source[size_t(from)];
                p_.shapes[size_t(layer.tops[k])] = p_.shapes[size_t(from)];
            }
        } else if (std::all_of(in.begin(), in.end(), isKnown)) {
            // A rule that refuses its inputs leaves the shapes unknown: the layer says why when it runs.
            std::vector<Shape> out(layer.tops.size());
            if (layer.infer_shape(in, out))
                for (size_t k = 0; k < layer.tops.size(); k++)
                    p_.shapes[size_t(layer.tops[k])] = out[k];
        }
        const Shape out = layer.tops.empty() ? Shape{} : p_.shapes[size_t(layer.tops[0])];
        std::string why;
        p_.on_backend[i] = rules_.backend().supports(layer, in, out, why);
    }
}

std::vector<int> Planner::readersOf(int blob) const
{
    std::vector<int> readers;
    for (int c : g_.blobs[size_t(blob)].consumers)
        if (needed_[size_t(c)] && std::find(readers.begin(), readers.end(), c) == readers.end())
            readers.push_back(c);
    return readers;
}

std::vector<const Layer *> Planner::foldedLayers(int step) const
{
    std::vector<const Layer *> layers;
    for (int f : p_.folded[size_t(step)])
        layers.push_back(g_.layers[size_t(f)].get());
    return layers;
}

void Planner::fuse()
{
    const size_t count = g_.layers.size();
    p_.folded.assign(count, {});
    p_.folded_into.assign(count, -1);
    p_.result.assign(count, -1);
    for (size_t i = 0; i < count; i++) {
        if (!needed_[i] || p_.folded_into[i] >= 0)
            continue;
        const Layer &head = *g_.layers[i];
        p_.steps.push_back(int(i));
        if (head.tops.size() != 1) {
            continue;
        }
        int t = head.tops[0];
        while (p_.on_backend[i] && !given(t) && !isWanted(t)) {
            const std::vector<int> readers = readersOf(t);
            if (readers.size() != 1)
                break;
            const int j = readers[0];
            const Layer &next = *g_.layers[size_t(j)];
            if (!p_.on_backend[size_t(j)] || next.role() == Role::Alias || next.tops.size() != 1)
                break;
            // The other operands must exist, with the result's shape, before the head runs.
            int position = -1;
            bool ok = isKnown(p_.shapes[size_t(t)]);
            for (size_t k = 0; k < next.bottoms.size() && ok; k++) {
                const int b = next.bottoms[k];
                if (b == t) {
                    ok = position < 0;
                    position = int(k);
                } else {
                    const int producer = g_.blobs[size_t(b)].producer;
                    ok = (given(b) || producer < int(i)) && p_.shapes[size_t(b)] == p_.shapes[size_t(t)];
                }
            }
            if (!ok || !rules_.folds(head, foldedLayers(int(i)), next, position))
                break;
            p_.folded[i].push_back(j);
            p_.folded_into[size_t(j)] = int(i);
            p_.fused_layers++;
            t = next.tops[0];
        }
        p_.result[i] = t;
    }
}

void Planner::countReaders()
{
    p_.readers.assign(g_.blobs.size(), 0);
    p_.releases.assign(g_.layers.size(), {});
    reads_.assign(g_.layers.size(), {});
    for (int s : p_.steps) {
        std::vector<int> &r = reads_[size_t(s)];
        r = g_.layers[size_t(s)]->bottoms;
        int t = g_.layers[size_t(s)]->tops.empty() ? -1 : g_.layers[size_t(s)]->tops[0];
        for (int f : p_.folded[size_t(s)]) {
            for (int b : g_.layers[size_t(f)]->bottoms)
                if (b != t)
                    r.push_back(b);
            t = g_.layers[size_t(f)]->tops[0];
        }
        for (int b : r)
            p_.readers[size_t(b)]++;
    }
    std::vector<int> left = p_.readers;
    auto dead = [&](int b) {
        return !given(b) && !isWanted(b);
    };
    for (int s : p_.steps) {
        std::vector<int> &release = p_.releases[size_t(s)];
        for (int b : reads_[size_t(s)])
            if (--left[size_t(b)] == 0 && dead(b))
                release.push_back(b);
        for (int t : stepTops(s))
            if (p_.readers[size_t(t)] == 0 && dead(t))
                release.push_back(t);
    }
    for (size_t b = 0; b < g_.blobs.size(); b++)
        if (given(int(b)) && p_.readers[b] > 0)
            p_.inputs.push_back(int(b));
}

bool Planner::readOnlyBy(int blob, const std::vector<char> &layers) const
{
    for (int c : readersOf(blob)) {
        const Layer &reader = *g_.layers[size_t(c)];
        if (reader.role() == Role::Alias) {
            for (int t : reader.tops)
                if (!readOnlyBy(t, layers))
                    return false;
        } else if (!layers[size_t(c)]) {
            return false;
        }
    }
    return true;
}

void Planner::tryConcatGroup(const std::vector<int> &members, const std::vector<std::vector<int>> &parts)
{
    const int alignment = rules_.concat_alignment();
    ConcatGroup group;
    group.parts = parts[0];
    group.concats = members;
    std::vector<char> inGroup(g_.layers.size(), 0);
    for (int m : members)
        inGroup[size_t(m)] = 1;
    for (size_t k = 0; k < group.parts.size(); k++) {
        const int part = group.parts[k];
        const Shape &s = p_.shapes[size_t(part)];
        if (group.channels % alignment != 0 || p_.part_group[size_t(part)] >= 0 ||
            std::count(group.parts.begin(), group.parts.end(), part) != 1)
            return;
        // A part that is itself a grouped concatenation already lives in another buffer.
        const int producer = g_.blobs[size_t(part)].producer;
        if (producer >= 0 && p_.concat_group[size_t(producer)] >= 0)
            return;
        if (k > 0) {
            // Every part but the first is written in place by its producer and read by nothing else.
            if (given(part) || isWanted(part) || producer < 0)
                return;
            const int step =
                p_.folded_into[size_t(producer)] >= 0 ? p_.folded_into[size_t(producer)] : producer;
            if (p_.result[size_t(step)] != part || !p_.on_backend[size_t(step)] ||
                !rules_.writes_into_part(*g_.layers[size_t(step)], foldedLayers(step)) ||
                !readOnlyBy(part, inGroup))
                return;
        }
        group.offsets.push_back(group.channels);
        group.channels += s.c;
    }
    for (int m : members)
        if (p_.part_group[size_t(g_.layers[size_t(m)]->tops[0])] >= 0)
            return;
    const int index = int(p_.concat_groups.size());
    for (size_t k = 0; k < group.parts.size(); k++) {
        p_.part_group[size_t(group.parts[k])] = index;
        p_.part_index[size_t(group.parts[k])] = int(k);
    }
    for (int m : members)
        p_.concat_group[size_t(m)] = index;
    p_.concat_groups.push_back(std::move(group));
}

void Planner::groupConcats()
{
    p_.part_group.assign(g_.blobs.size(), -1);
    p_.part_index.assign(g_.blobs.size(), -1);
    p_.concat_group.assign(g_.layers.size(), -1);
    if (rules_.concat_alignment() <= 0)
        return;
    struct Candidate {
        int layer;
        std::vector<int> parts;
    };
    std::vector<Candidate> candidates;
    for (int s : p_.steps) {
        const Layer &layer = *g_.layers[size_t(s)];
        const std::vector<Shape> in = shapesOf(layer.bottoms);
        if (!p_.on_backend[size_t(s)] || !p_.folded[size_t(s)].empty() || layer.tops.size() != 1 ||
            layer.role() != Role::Concat || !sameImage(in))
            continue;
        Candidate c{s, {}};
        for (int b : layer.bottoms)
            c.parts.push_back(p_.source[size_t(b)]);
        candidates.push_back(std::move(c));
    }
    // The widest concatenation names the parts; the narrower ones that read a prefix of them join it.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate &a, const Candidate &b) { return a.parts.size() > b.parts.size(); });
    std::vector<char> taken(candidates.size(), 0);
    for (size_t i = 0; i < candidates.size(); i++) {
        if (taken[i])
            continue;
        std::vector<int> members{candidates[i].layer};
        std::vector<std::vector<int>> parts{candidates[i].parts};
        taken[i] = 1;
        for (size_t j = i + 1; j < candidates.size(); j++) {
            const std::vector<int> &r = candidates[j].parts;
            if (!taken[j] && std::equal(r.begin(), r.end(), candidates[i].parts.begin())) {
                members.push_back(candidates[j].layer);
                taken[j] = 1;
            }
        }
        tryConcatGroup(members, parts);
    }
}

void Planner::chooseStorage()
{
    const size_t blobs = g_.blobs.size();
    p_.storage.assign(blobs, Storage::Fp32);
    const Storage reduced = rules_.reduced_storage();
    if (reduced == Storage::Fp32)
        return;
    // Decided per data source: a pass-through layer's tops are its bottom.
    std::vector<char> fits(blobs, 1);
    auto fitting = [&](int b) {
        return fits[size_t(p_.source[size_t(b)])] != 0;
    };
    // Refuses the blob; true when that changed anything.
    auto refuse = [&](int b) {
        const bool was = fitting(b);
        fits[size_t(p_.source[size_t(b)])] = 0;
        return was;
    };
    // Every blob a step touches: its inputs, those of what it folded, and its tops.
    auto touched = [&](int s) {
        const Layer &layer = *g_.layers[size_t(s)];
        std::vector<int> all = layer.bottoms;
        all.insert(all.end(), layer.tops.begin(), layer.tops.end());
        for (int f : p_.folded[size_t(s)]) {
            const Layer &more = *g_.layers[size_t(f)];
            all.insert(all.end(), more.bottoms.begin(), more.bottoms.end());
            all.push_back(more.tops[0]);
        }
        return all;
    };
    std::vector<int> uniform; // steps whose blobs are all reduced or all fp32
    for (int s : p_.steps) {
        const Layer &layer = *g_.layers[size_t(s)];
        if (layer.role() == Role::Alias)
            continue;
        // A concatenation its producers assemble in place does nothing itself; its group decides below.
        if (p_.concat_group[size_t(s)] >= 0)
            continue;
        if (p_.on_backend[size_t(s)] && rules_.takes_reduced(layer, shapesOf(layer.bottoms))) {
            if (!rules_.mixes_storage(layer))
                uniform.push_back(s);
            continue;
        }
        for (int b : touched(s))
            refuse(b);
    }
    // A concatenation group is one buffer: all of it reduced, or none.
    std::vector<std::vector<int>> together;
    for (const ConcatGroup &group : p_.concat_groups) {
        std::vector<int> members = group.parts;
        for (int c : group.concats)
            members.push_back(g_.layers[size_t(c)]->tops[0]);
        together.push_back(std::move(members));
    }
    for (int s : uniform)
        together.push_back(touched(s));
    for (bool changed = true; changed;) {
        changed = false;
        for (const std::vector<int> &members : together) {
            bool all = true;
            for (int b : members)
                all = all && fitting(b);
            if (!all)
                for (int b : members)
                    changed = refuse(b) || changed;
        }
    }
    for (size_t b = 0; b < blobs; b++)
        if (isKnown(p_.shapes[b]) && fits[size_t(p_.source[b])])
            p_.storage[b] = reduced;
}

std::vector<int> Planner::stepTops(int step) const
{
    return p_.folded[size_t(step)].empty() ? g_.layers[size_t(step)]->tops
                                           : std::vector<int>{p_.result[size_t(step)]};
}

int Planner::rootOf(int blob, std::vector<int> &ownRoot)
{
    const int s = p_.source[size_t(blob)];
    if (p_.part_group[size_t(s)] >= 0)
        return p_.part_group[size_t(s)];
    const int producer = g_.blobs[size_t(s)].producer;
    if (producer >= 0 && p_.concat_group[size_t(producer)] >= 0)
        return p_.concat_group[size_t(producer)];
    if (ownRoot[size_t(s)] < 0)
        ownRoot[size_t(s)] = p_.root_count++;
    return ownRoot[size_t(s)];
}

void Planner::placeRoots()
{
    const size_t blobs = g_.blobs.size();
    p_.root.assign(blobs, -1);
    p_.root_releases.assign(g_.layers.size(), {});
    p_.root_count = int(p_.concat_groups.size());
    std::vector<int> ownRoot(blobs, -1);
    // The position in the running order of each blob's last reader (or of its producer, when unread).
    std::vector<int> lastUse(blobs, -1);
    for (int b : p_.inputs)
        p_.root[size_t(b)] = rootOf(b, ownRoot);
    for (size_t k = 0; k < p_.steps.size(); k++) {
        const int s = p_.steps[k];
        for (int b : reads_[size_t(s)])
            lastUse[size_t(b)] = int(k);
        for (int t : stepTops(s)) {
            p_.root[size_t(t)] = rootOf(t, ownRoot);
            lastUse[size_t(t)] = std::max(lastUse[size_t(t)], int(k));
        }
    }
    // A root dies with the last use of its blobs.
    std::vector<int> death(size_t(p_.root_count), -1);
    for (size_t b = 0; b < blobs; b++) {
        const int r = p_.root[b];
        if (r >= 0)
            death[size_t(r)] = isWanted(int(b)) || death[size_t(r)] == INT_MAX
                                   ? INT_MAX
                                   : std::max(death[size_t(r)], lastUse[b]);
    }
    for (int r = 0; r < p_.root_count; r++)
        if (death[size_t(r)] >= 0 && death[size_t(r)] != INT_MAX)
            p_.root_releases[size_t(p_.steps[size_t(death[size_t(r)])])].push_back(r);
}

} // namespace

int make_plan(const Graph &graph, const std::vector<Shape> &known, const std::vector<int> &wanted,
              const PlanRules &rules, ExtractPlan &out, std::string &err)
{
    out = ExtractPlan{};
    Planner planner(graph, known, wanted, rules, out);
    if (const int rc = planner.neededLayers(err); rc != 0)
        return rc;
    planner.inferShapes();
    planner.fuse();
    planner.countReaders();
    planner.groupConcats();
    planner.chooseStorage();
    planner.placeRoots();
    return 0;
}

std::vector<int> plan_key(const std::vector<Shape> &known, const std::vector<int> &wanted,
                          const std::vector<int> &options)
{
    std::vector<int> key;
    key.reserve(known.size() * 4 + wanted.size() + options.size() + 2);
    for (const Shape &s : known)
        key.insert(key.end(), {s.dims, s.w, s.h, s.c});
    key.push_back(-1);
    key.insert(key.end(), wanted.begin(), wanted.end());
    key.push_back(-1);
    key.insert(key.end(), options.begin(), options.end());
    return key;
}

std::shared_ptr<const ExtractPlan> ExtractPlanCache::get(const std::vector<Shape> &known, int wanted,
                                                         int &code, std::string &err)
{
    std::shared_ptr<const ExtractPlan> plan;
    code = plans_.get(plan_key(known, {wanted}), plan, [&](std::shared_ptr<const ExtractPlan> &made) {
        auto p = std::make_shared<ExtractPlan>();
        const int rc = make_plan(graph_, known, {wanted}, rules_, *p, err);
        made = std::move(p);
        return rc;
    });
    return code == 0 ? plan : nullptr;
}

} // namespace ncnn
