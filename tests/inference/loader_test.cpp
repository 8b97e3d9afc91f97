#include "modelgen.h"
#include "support/runtime/compare.h"
#include "support/runtime/failingAllocator.h"
#include "support/runtime/layers.h"
#include "support/runtime/random.h"

#include <ncnn/errors.h>
#include <ncnn/net.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>

using namespace rtest;
using brivelle::modelgen::GraphBuilder;
using brivelle::modelgen::ModelFiles;
using brivelle::modelgen::Storage;

namespace {

// Input -> 3x3 conv (3 -> 4) -> PReLU -> output.
ModelFiles small_model(Storage storage = Storage::Fp32)
{
    GraphBuilder g(storage, 7);
    g.input("data");
    g.conv("data", "c", 3, 4, 3);
    g.prelu("c", "output", 4);
    return g.finish();
}

struct ParamCase {
    const char *name;
    std::string text;
    const char *must_mention; // part of the message: line, key, sizes
};

std::ostream &operator<<(std::ostream &os, const ParamCase &c)
{
    return os << c.name;
}

const std::string kHeader = "7767517\n";

} // namespace

class MalformedParam : public ::testing::TestWithParam<ParamCase> {};

TEST_P(MalformedParam, IsRefusedWithAMessage)
{
    const ParamCase &c = GetParam();
    ncnn::Net net;
    // The app tells a model it cannot run from a broken one by the code, never by the message.
    const bool unknown = std::string(c.must_mention).find("unknown layer type") != std::string::npos;
    EXPECT_EQ(net.load_param_mem(c.text.c_str()),
              unknown ? ncnn::ERROR_UNSUPPORTED_LAYER : ncnn::ERROR_BAD_MODEL);
    EXPECT_NE(net.last_error().find(c.must_mention), std::string::npos) << "message: " << net.last_error();
    // The net stays unusable rather than half-loaded.
    ncnn::Mat out;
    ncnn::Extractor ex = net.create_extractor();
    EXPECT_NE(ex.extract("output", out), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, MalformedParam,
    ::testing::Values(
        ParamCase{"empty", "", "magic"},
        ParamCase{"wrong_magic", "7767518\n1 1\nInput in 0 1 data\n", "line 1: magic"},
        ParamCase{"no_counts", kHeader, "line 2"}, ParamCase{"bad_counts", kHeader + "one two\n", "line 2"},
        ParamCase{"absurd_layer_count", kHeader + "2000000000 1\nInput in 0 1 data\n", "layer count"},
        ParamCase{"negative_blob_count", kHeader + "1 -4\nInput in 0 1 data\n", "blob count"},
        ParamCase{"truncated", kHeader + "3 3\nInput in 0 1 data\nReLU r 1 1 data x\n",
                  "expected 3 layer lines, got 2"},
        ParamCase{"truncated_line", kHeader + "2 2\nInput in 0 1 data\nReLU r 1\n", "line 4"},
        ParamCase{"unknown_layer", kHeader + "2 2\nInput in 0 1 data\nFancyOp f 1 1 data out\n",
                  "unknown layer type 'FancyOp'"},
        ParamCase{"missing_blob", kHeader + "2 2\nInput in 0 1 data\nReLU r 1 1 nothing out\n", "'nothing'"},
        ParamCase{"later_blob",
                  kHeader + "3 3\nInput in 0 1 data\nReLU r 1 1 later out\nReLU s 1 1 data later\n",
                  "line 4"},
        ParamCase{"duplicate_blob",
                  kHeader + "3 2\nInput in 0 1 data\nReLU r 1 1 data x\nReLU s 1 1 data x\n",
                  "already produced"},
        ParamCase{"too_many_blobs", kHeader + "2 1\nInput in 0 1 data\nReLU r 1 1 data x\n", "blob count"},
        ParamCase{"blob_names_missing", kHeader + "2 3\nInput in 0 1 data\nConcat c 3 1 data\n",
                  "expected 4 blob names"},
        ParamCase{"wrong_input_count", kHeader + "2 2\nInput in 0 1 data\nReLU r 2 1 data data x\n",
                  "expected 1 input"},
        ParamCase{"key_out_of_range", kHeader + "2 2\nInput in 0 1 data\nReLU r 1 1 data x 99=1\n", "key 99"},
        ParamCase{"not_a_pair", kHeader + "2 2\nInput in 0 1 data\nReLU r 1 1 data x slope\n", "key=value"},
        ParamCase{"bad_number", kHeader + "2 2\nInput in 0 1 data\nReLU r 1 1 data x 0=0.1x\n", "bad number"},
        ParamCase{"array_length", kHeader + "2 2\nInput in 0 1 data\nEltwise e 1 1 data x -23301=3,1.0\n",
                  "array length 3"},
        ParamCase{"int_overflow",
                  kHeader + "2 2\nInput in 0 1 data\nConvolution c 1 1 data x 0=4 1=3 6=4294967296\n",
                  "key 6"},
        ParamCase{"weights_do_not_divide",
                  kHeader + "2 2\nInput in 0 1 data\nConvolution c 1 1 data x 0=65536 1=32768 6=2147483647\n",
                  "key 6"},
        ParamCase{"huge_interp",
                  kHeader + "2 2\nInput in 0 1 data\nInterp i 1 1 data x 0=1 3=2147483647 4=2\n", "keys 3/4"},
        ParamCase{"duplicate_key", kHeader + "2 2\nInput in 0 1 data\nReLU r 1 1 data x 0=1 0=2\n",
                  "twice"}));

TEST(ParamText, NumbersInAnyNotationAndArrays)
{
    const std::string text = kHeader + "3 3\r\n"
                                       "Input in 0 1 data\r\n"
                                       "Clip c 1 1 data x 0=-1 1=2.5E+00\r\n"
                                       "Eltwise e 2 1 data x output 0=1 -23301=2,2.000000e-01,1\r\n"
                                       "\n\n   \n"
                                       "this trailing text is padding and is never read\n";
    ncnn::Net net;
    ASSERT_EQ(net.load_param_mem(text.c_str()), 0) << net.last_error();
    ASSERT_EQ(net.load_model_mem(nullptr, 0), 0) << net.last_error();
    ncnn::Extractor ex = net.create_extractor();
    ncnn::Mat in(2, 1, 1);
    in[0] = 3.f;
    in[1] = -4.f;
    ASSERT_EQ(ex.input("data", in), 0);
    ncnn::Mat out;
    ASSERT_EQ(ex.extract("output", out), 0) << ex.last_error();
    EXPECT_FLOAT_EQ(out[0], 0.2f * 3 + 2.5f);
    EXPECT_FLOAT_EQ(out[1], 0.2f * -4 - 1.f);
}

TEST(Weights, TruncatedBinNamesLayerAndSizes)
{
    const ModelFiles m = small_model();
    for (size_t cut : {size_t(0), size_t(3), size_t(4), m.bin.size() / 2, m.bin.size() - 1}) {
        ncnn::Net net;
        ASSERT_EQ(net.load_param_mem(m.param.c_str()), 0);
        EXPECT_EQ(net.load_model_mem(m.bin.data(), cut), ncnn::ERROR_BAD_MODEL) << "cut at " << cut;
        const std::string &e = net.last_error();
        EXPECT_NE(e.find("layer "), std::string::npos) << e;
        EXPECT_NE(e.find("expected"), std::string::npos) << e;
        EXPECT_NE(e.find("left"), std::string::npos) << e;
        ncnn::Mat out;
        ncnn::Extractor ex = net.create_extractor();
        EXPECT_NE(ex.extract("output", out), 0);
    }
}

TEST(Weights, StorageTags)
{
    // One 3x3 conv of 1 channel with 9 weights, no bias; each storage must give the same numbers.
    const std::string param = kHeader + "2 2\nInput in 0 1 data\nConvolution c 1 1 data output 0=1 1=3 6=9\n";
    const float w[9] = {0.5f, -1.f, 2.f, 0.25f, 0.f, -0.75f, 1.5f, 3.f, -2.f};
    auto run = [&](const std::vector<unsigned char> &bin) {
        ncnn::Net net;
        EXPECT_EQ(net.load_param_mem(param.c_str()), 0);
        EXPECT_EQ(net.load_model_mem(bin.data(), bin.size()), 0) << net.last_error();
        ncnn::Mat in(3, 3, 1);
        for (int i = 0; i < 9; i++)
            in[i] = static_cast<float>(i + 1);
        ncnn::Extractor ex = net.create_extractor();
        ex.input("data", in);
        ncnn::Mat out;
        EXPECT_EQ(ex.extract("output", out), 0) << ex.last_error();
        return out.empty() ? -1e9f : out[0];
    };
    float want = 0;
    for (int i = 0; i < 9; i++)
        want += w[i] * static_cast<float>(i + 1);
    auto put = [](std::vector<unsigned char> &b, const void *p, size_t n) {
        b.insert(b.end(), static_cast<const unsigned char *>(p), static_cast<const unsigned char *>(p) + n);
    };
    // fp32 with a zero tag
    std::vector<unsigned char> fp32(4, 0);
    put(fp32, w, sizeof w);
    EXPECT_FLOAT_EQ(run(fp32), want);
    // fp16 (all values exact in half), padded to 4 bytes
    std::vector<unsigned char> fp16 = {0x47, 0x6b, 0x30, 0x01};
    const uint16_t h[9] = {0x3800, 0xbc00, 0x4000, 0x3400, 0x0000, 0xba00, 0x3e00, 0x4200, 0xc000};
    put(fp16, h, sizeof h);
    fp16.insert(fp16.end(), 2, 0);
    EXPECT_FLOAT_EQ(run(fp16), want);
    // 256-entry table and one index per weight
    std::vector<unsigned char> quant = {1, 0, 0, 0};
    float table[256] = {};
    unsigned char idx[12] = {};
    for (int i = 0; i < 9; i++) {
        table[i * 20] = w[i];
        idx[i] = static_cast<unsigned char>(i * 20);
    }
    put(quant, table, sizeof table);
    put(quant, idx, sizeof idx);
    EXPECT_FLOAT_EQ(run(quant), want);
    // Weights left over belong to another network: refused, saying so.
    std::vector<unsigned char> padded = fp32;
    padded.resize(padded.size() + 1000, 0xab);
    ncnn::Net net;
    ASSERT_EQ(net.load_param_mem(param.c_str()), 0);
    EXPECT_EQ(net.load_model_mem(padded.data(), padded.size()), ncnn::ERROR_BAD_MODEL);
    EXPECT_NE(net.last_error().find("belongs to another network"), std::string::npos) << net.last_error();
}

TEST(Weights, Fp16StorageRoundTripThroughTheGenerator)
{
    const ModelFiles f32 = small_model(Storage::Fp32), f16 = small_model(Storage::Fp16);
    EXPECT_EQ(f32.param, f16.param);
    EXPECT_LT(f16.bin.size(), f32.bin.size());
    const ncnn::Mat in = randomMat(6, 5, 3, 2);
    ncnn::Mat out[2];
    int k = 0;
    for (const ModelFiles *m : {&f32, &f16}) {
        ncnn::Net net;
        ASSERT_EQ(net.load_param_mem(m->param.c_str()), 0);
        ASSERT_EQ(net.load_model_mem(m->bin.data(), m->bin.size()), 0) << net.last_error();
        ncnn::Extractor ex = net.create_extractor();
        ex.input("data", in);
        ASSERT_EQ(ex.extract("output", out[k++]), 0);
    }
    // Half precision keeps 11 significant bits: 27 taps of |w| < 0.2 and |x| < 1 stay within 1e-2.
    EXPECT_TRUE(matsNear(out[1], out[0], 1e-2f));
    EXPECT_FALSE(matsNear(out[1], out[0], 0.f)) << "fp16 weights should differ slightly from fp32";
}

TEST(Weights, LoadModelNeedsParam)
{
    ncnn::Net net;
    unsigned char b[4] = {};
    EXPECT_NE(net.load_model_mem(b, 4), 0);
    EXPECT_NE(net.load_model("/nonexistent/x.bin"), 0);
    EXPECT_NE(net.load_param("/nonexistent/x.param"), 0);
    EXPECT_NE(net.last_error().find("/nonexistent/x.param"), std::string::npos);
}

TEST(Files, Utf8PathsWithAnyCharacterAndPaddingToExactSizes)
{
    const ModelFiles exact = small_model();
    ModelFiles m = exact;
    const size_t param_size = m.param.size() + 100, bin_size = m.bin.size() + 333;
    std::string err;
    ASSERT_TRUE(brivelle::modelgen::pad_to_size(m, param_size, bin_size, err)) << err;
    ASSERT_EQ(m.param.size(), param_size);
    ASSERT_EQ(m.bin.size(), bin_size);
    ModelFiles too_big = m;
    EXPECT_FALSE(brivelle::modelgen::pad_to_size(too_big, 10, 10, err));

    // The padded .param loads; weights must end where their file ends.
    const char *tmp = std::getenv("TMPDIR");
    const std::string base = std::string(tmp ? tmp : "/tmp") + "/brivelle core #1 (copie) é 模型 ✓";
    ASSERT_TRUE(brivelle::modelgen::write_files(m, base + ".param", base + ".bin", err)) << err;
    ncnn::Net net;
    EXPECT_EQ(net.load_param((base + ".param").c_str()), 0) << net.last_error();
    EXPECT_EQ(net.load_model((base + ".bin").c_str()), ncnn::ERROR_BAD_MODEL);
    ModelFiles padded_param = exact;
    padded_param.param = m.param;
    ASSERT_TRUE(brivelle::modelgen::write_files(padded_param, base + ".param", base + ".bin", err)) << err;
    EXPECT_EQ(net.load_param((base + ".param").c_str()), 0) << net.last_error();
    EXPECT_EQ(net.load_model((base + ".bin").c_str()), 0) << net.last_error();
    std::remove((base + ".param").c_str());
    std::remove((base + ".bin").c_str());
}

TEST(RealModels, ParseAndLoad)
{
    const std::string dir = sharedModelsDir();
    if (dir.empty())
        GTEST_SKIP() << "../shared/models is absent";
    for (const char *name : {"realesrgan-x4plus", "realesrgan-x4fast"}) {
        ncnn::Net net;
        ASSERT_EQ(net.load_param((dir + "/" + name + ".param").c_str()), 0) << net.last_error();
        ASSERT_EQ(net.load_model((dir + "/" + name + ".bin").c_str()), 0) << net.last_error();
    }
}

// Inputs the fuzzers once tripped over (and hand-made nasty ones) must stay harmless.
TEST(FuzzRegressions, LoadersSurviveEveryStoredInput)
{
    DIR *dir = opendir(BRIVELLE_FUZZ_REGRESSIONS);
    ASSERT_NE(dir, nullptr) << BRIVELLE_FUZZ_REGRESSIONS;
    int count = 0;
    while (dirent *e = readdir(dir)) {
        const std::string name = e->d_name;
        if (name[0] == '.')
            continue;
        std::ifstream f(std::string(BRIVELLE_FUZZ_REGRESSIONS) + "/" + name, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        const std::string bytes = ss.str();
        count++;
        ncnn::Net net;
        net.opt.num_threads = 1;
        // As a .param (with zero weights) and as the .bin of a fixed small network.
        if (net.load_param_mem(bytes.c_str()) == 0) {
            const std::vector<unsigned char> zeros(1 << 16, 0);
            if (net.load_model_mem(zeros.data(), zeros.size()) == 0) {
                FailingAllocator cap(0, size_t(1) << 20);
                ncnn::Extractor ex = net.create_extractor();
                ex.set_blob_allocator(&cap);
                ex.set_workspace_allocator(&cap);
                ex.input("data", randomMat(5, 4, 3, 1));
                ncnn::Mat out;
                ex.extract("output", out);
            }
        }
        const ModelFiles m = small_model();
        ncnn::Net net2;
        ASSERT_EQ(net2.load_param_mem(m.param.c_str()), 0);
        if (net2.load_model_mem(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()) == 0) {
            ncnn::Extractor ex = net2.create_extractor();
            ex.input("data", randomMat(5, 4, 3, 1));
            ncnn::Mat out;
            EXPECT_EQ(ex.extract("output", out), 0) << name;
        }
    }
    closedir(dir);
    EXPECT_GT(count, 0);
}

// The input count of a BinaryOp depends on its own parameters: with a scalar (key 1) it takes one.
TEST(ParamText, BinaryOpWithScalarTakesOneInput)
{
    const std::string text = kHeader + "2 2\nInput in 0 1 data\nBinaryOp add 1 1 data output 0=0 1=1 2=1.5\n";
    ncnn::Net net;
    ASSERT_EQ(net.load_param_mem(text.c_str()), 0) << net.last_error();
    ASSERT_EQ(net.load_model_mem(nullptr, 0), 0) << net.last_error();
    ncnn::Extractor ex = net.create_extractor();
    ncnn::Mat in(1, 1, 1);
    in[0] = 2.f;
    ASSERT_EQ(ex.input("data", in), 0);
    ncnn::Mat out;
    ASSERT_EQ(ex.extract("output", out), 0) << ex.last_error();
    EXPECT_FLOAT_EQ(out[0], 3.5f);

    const std::string twoInputs = kHeader + "2 2\nInput in 0 1 data\nBinaryOp add 1 1 data output 0=0\n";
    EXPECT_NE(net.load_param_mem(twoInputs.c_str()), 0);
}

namespace {

// Writes a pair under $TMPDIR and returns the path without suffix.
std::string written(const ModelFiles &m, const std::string &name)
{
    const char *tmp = std::getenv("TMPDIR");
    const std::string base = std::string(tmp ? tmp : "/tmp") + "/brivelle-mix-" + name;
    std::string err;
    EXPECT_TRUE(brivelle::modelgen::write_files(m, base + ".param", base + ".bin", err)) << err;
    return base;
}

ncnn::Mat run_whole(ncnn::Net &net, const ncnn::Mat &in)
{
    ncnn::Extractor ex = net.create_extractor();
    ncnn::Mat out;
    EXPECT_EQ(ex.input("data", in), 0);
    EXPECT_EQ(ex.extract("output", out), 0) << ex.last_error();
    return out;
}

} // namespace

// Two networks of one architecture mixed at load run as the network whose .bin holds the mixed
// weights; networks that differ are refused, naming the first layer that does.
TEST(Weights, MixOfTwoNetworksIsTheNetworkOfMixedWeights)
{
    brivelle::modelgen::SrvggConfig config{3, 8, 2};
    const ModelFiles first = brivelle::modelgen::srvgg(config, Storage::Fp32, 1);
    const ModelFiles second = brivelle::modelgen::srvgg(config, Storage::Fp16, 2);
    const ModelFiles second32 = brivelle::modelgen::srvgg(config, Storage::Fp32, 2);
    ASSERT_EQ(first.bin.size(), second32.bin.size());
    const float weight = 0.3f;
    // Word by word: storage tags and equal values are kept, every other word is a weight.
    ModelFiles mixed = first;
    for (size_t i = 0; i + 4 <= mixed.bin.size(); i += 4) {
        float a, b;
        std::memcpy(&a, &first.bin[i], 4);
        std::memcpy(&b, &second32.bin[i], 4);
        if (std::memcmp(&a, &b, 4) == 0)
            continue;
        const float m = (1 - weight) * a + weight * b;
        std::memcpy(&mixed.bin[i], &m, 4);
    }
    const std::string a = written(first, "a"), b = written(second, "b");
    ncnn::Net net;
    ASSERT_EQ(net.load_param((a + ".param").c_str()), 0) << net.last_error();
    ASSERT_EQ(
        net.load_model_mixed((a + ".bin").c_str(), (b + ".param").c_str(), (b + ".bin").c_str(), weight), 0)
        << net.last_error();
    const std::unique_ptr<ncnn::Net> expected = [&] {
        auto n = std::make_unique<ncnn::Net>();
        EXPECT_EQ(n->load_param_mem(mixed.param.c_str()), 0);
        EXPECT_EQ(n->load_model_mem(mixed.bin.data(), mixed.bin.size()), 0) << n->last_error();
        return n;
    }();
    const ncnn::Mat in = randomMat(13, 11, 3, 9);
    // The second network is stored at half precision, so its weights differ from fp32's by an fp16 step.
    EXPECT_TRUE(matsNear(run_whole(net, in), run_whole(*expected, in), 2e-3f));

    struct Mismatch {
        ModelFiles other;
        const char *named;
    };
    const Mismatch mismatches[] = {
        {brivelle::modelgen::srvgg({3, 16, 2}, Storage::Fp32, 2),
         "layer Convolution_2 (Convolution): weight array 1 is 216 in the first network, 432 in the second"},
        {brivelle::modelgen::srvgg({4, 8, 2}, Storage::Fp32, 2), "layer PixelShuffle_11 (PixelShuffle)"},
        {brivelle::modelgen::rrdbnet({1, 8, 4, 2}, Storage::Fp32, 2), "layer Split_1 (Split)"},
    };
    for (const Mismatch &m : mismatches) {
        const std::string c = written(m.other, "c");
        ncnn::Net refused;
        ASSERT_EQ(refused.load_param((a + ".param").c_str()), 0);
        EXPECT_EQ(refused.load_model_mixed((a + ".bin").c_str(), (c + ".param").c_str(), (c + ".bin").c_str(),
                                           0.5f),
                  ncnn::ERROR_BAD_MODEL);
        EXPECT_NE(refused.last_error().find(m.named), std::string::npos) << refused.last_error();
        ncnn::Extractor ex = refused.create_extractor();
        ncnn::Mat out;
        EXPECT_NE(ex.extract("output", out), 0);
        std::remove((c + ".param").c_str());
        std::remove((c + ".bin").c_str());
    }
    for (const std::string &base : {a, b}) {
        std::remove((base + ".param").c_str());
        std::remove((base + ".bin").c_str());
    }
}
