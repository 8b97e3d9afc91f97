// The planner on RRDBNet's dense blocks: what folds, which concatenations share one buffer, and that light
// mode frees every blob exactly once, after its last reader.
#include "support/runtime/models.h"

#include "layers/convolution.h"
#include "planner.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// A backend like the GPU one: a convolution takes over the two-input layer reading it, and convolutions
// write their results into concatenation buffers aligned to four channels.
class ConvolutionRules : public ncnn::PlanRules {
public:
    bool folds(const ncnn::Layer &head, const std::vector<const ncnn::Layer *> &folded,
               const ncnn::Layer &next, int) const override
    {
        return folded.empty() && isConvolution(head) && next.bottoms.size() == 2;
    }
    int concat_alignment() const override { return 4; }
    bool writes_into_part(const ncnn::Layer &head,
                          const std::vector<const ncnn::Layer *> &folded) const override
    {
        return folded.empty() && isConvolution(head);
    }

private:
    static bool isConvolution(const ncnn::Layer &l) { return dynamic_cast<const ncnn::Convolution *>(&l); }
};

struct PlanCase {
    const char *name;
    int features, growth;
    const char *wanted;
    bool convolutionRules;
    int fused;
    size_t groups;
    size_t concatsPerGroup;
};

class Planner : public ::testing::TestWithParam<PlanCase> {};

TEST_P(Planner, FoldsGroupsAndFreesEachBlobOnce)
{
    const PlanCase &c = GetParam();
    const std::string text = rtest::rrdbnet(1, c.features, c.growth, 7).param();
    ncnn::Graph graph;
    std::string err;
    ASSERT_EQ(ncnn::parse_param(text.data(), text.size(), graph, err), 0) << err;
    const int data = graph.find_blob("data");
    const int wanted = graph.find_blob(c.wanted);
    std::vector<ncnn::Shape> known(graph.blobs.size());
    known[size_t(data)] = ncnn::Shape{3, 11, 9, 3};

    const ConvolutionRules convolutionRules;
    const ncnn::PlanRules referenceRules;
    const ncnn::PlanRules &rules = c.convolutionRules ? convolutionRules : referenceRules;
    ncnn::ExtractPlan plan;
    ASSERT_EQ(ncnn::make_plan(graph, known, {wanted}, rules, plan, err), 0) << err;
    EXPECT_EQ(plan.fused_layers, c.fused);
    ASSERT_EQ(plan.concat_groups.size(), c.groups);
    for (const ncnn::ConcatGroup &g : plan.concat_groups) {
        EXPECT_EQ(g.concats.size(), c.concatsPerGroup);
        EXPECT_EQ(g.offsets[1], c.features);
        EXPECT_EQ(g.channels, c.features + int(g.parts.size() - 1) * c.growth);
    }
    EXPECT_EQ(plan.shapes[size_t(wanted)].w, graph.blobs[size_t(wanted)].name == "output" ? 44 : 11);
    EXPECT_EQ(plan.inputs, std::vector<int>{data});

    // Each blob is freed once, never the input or the wanted one, and nothing reads it afterwards.
    std::vector<int> freedAt(graph.blobs.size(), -1);
    for (size_t s = 0; s < plan.steps.size(); s++) {
        const int step = plan.steps[s];
        EXPECT_EQ(plan.folded_into[size_t(step)], -1);
        std::vector<int> reads = graph.layers[size_t(step)]->bottoms;
        for (int f : plan.folded[size_t(step)])
            for (int b : graph.layers[size_t(f)]->bottoms)
                reads.push_back(b);
        for (int b : reads)
            EXPECT_EQ(freedAt[size_t(b)], -1) << graph.blobs[size_t(b)].name << " read after it was freed";
        for (int b : plan.releases[size_t(step)]) {
            EXPECT_EQ(freedAt[size_t(b)], -1) << graph.blobs[size_t(b)].name << " freed twice";
            EXPECT_NE(b, data);
            EXPECT_NE(b, wanted);
            freedAt[size_t(b)] = int(s);
        }
    }
    for (size_t b = 0; b < graph.blobs.size(); b++) {
        if (plan.readers[b] > 0 && int(b) != data && int(b) != wanted) {
            EXPECT_GE(freedAt[b], 0) << graph.blobs[b].name << " is never freed";
        }
    }

    // Each root buffer goes once, after every step that reads or leaves a blob of it, never the wanted one's;
    // a group's parts live in the group's root.
    std::vector<int> rootFreedAt(size_t(plan.root_count), -1);
    for (size_t s = 0; s < plan.steps.size(); s++) {
        for (int r : plan.root_releases[size_t(plan.steps[s])]) {
            EXPECT_EQ(rootFreedAt[size_t(r)], -1) << "root " << r << " freed twice";
            rootFreedAt[size_t(r)] = int(s);
        }
    }
    EXPECT_EQ(rootFreedAt[size_t(plan.root[size_t(wanted)])], -1);
    for (size_t s = 0; s < plan.steps.size(); s++) {
        const int step = plan.steps[s];
        std::vector<int> used = graph.layers[size_t(step)]->bottoms;
        // A folded layer's other operands; the running result inside the step is no blob.
        int running = graph.layers[size_t(step)]->tops[0];
        for (int f : plan.folded[size_t(step)]) {
            for (int b : graph.layers[size_t(f)]->bottoms)
                if (b != running)
                    used.push_back(b);
            running = graph.layers[size_t(f)]->tops[0];
        }
        used.push_back(plan.result[size_t(step)] >= 0 ? plan.result[size_t(step)] : used[0]);
        for (int b : used) {
            const int r = plan.root[size_t(b)];
            ASSERT_GE(r, 0) << graph.blobs[size_t(b)].name << " has no root";
            if (rootFreedAt[size_t(r)] >= 0) {
                EXPECT_GE(rootFreedAt[size_t(r)], int(s))
                    << graph.blobs[size_t(b)].name << " used after its root went";
            }
        }
    }
    for (size_t g = 0; g < plan.concat_groups.size(); g++)
        for (int part : plan.concat_groups[g].parts)
            EXPECT_EQ(plan.root[size_t(part)], int(g));

    known[size_t(data)] = ncnn::Shape{};
    EXPECT_EQ(ncnn::make_plan(graph, known, {wanted}, rules, plan, err), ncnn::ERROR_BAD_INPUT);
}

// One block holds three dense blocks of four concatenations each; each dense block ends in a residual sum
// a convolution takes over, and so does the trunk's.
INSTANTIATE_TEST_SUITE_P(
    Rrdb, Planner,
    ::testing::Values(PlanCase{"convolution_rules", 8, 4, "output", true, 4, 3, 4},
                      PlanCase{"reference_rules", 8, 4, "output", false, 0, 0, 0},
                      // A part at channel 11 is not aligned: every concatenation copies.
                      PlanCase{"unaligned_growth", 8, 3, "output", true, 4, 0, 0},
                      // Asking for an inner blob plans only what it needs: one concatenation of two parts.
                      PlanCase{"inner_blob_wanted", 8, 4, "b0d0_x2", true, 0, 1, 2}),
    [](const ::testing::TestParamInfo<PlanCase> &row) { return std::string(row.param.name); });

} // namespace
