// bench: runs one network on one input size with one backend and reports its speed and memory.
//   bench (--param FILE --bin FILE | --generate rrdb-x4|rrdb-x2|srvgg [--blocks N] [--fp16])
//         [--size WxH] [--backend reference|onednn|vulkan|auto] [--threads N] [--runs N]
//         [--details] [--winograd on|off] [--precision fp32|bf16|fp16] [--input FILE.rgb]
#include "backend.h"
#include "file_io.h"
#include "graph.h"
#include "modelgen.h"
#ifdef BRIVELLE_ONEDNN_DETAILS
#include "cpu/onednn/bench/onednn_details.h"
#endif

#include <ncnn/allocator.h>
#include <ncnn/gpu.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unordered_map>

#if defined(__unix__)
#include <sys/resource.h>
#endif

namespace {

// Counts the bytes that blobs and scratch space hold at once.
class PeakAllocator : public ncnn::Allocator {
public:
    void *fastMalloc(size_t size) override
    {
        void *p = ncnn::fastMalloc(size);
        if (p) {
            std::lock_guard<std::mutex> lock(mutex);
            sizes[p] = size;
            in_use += size;
            if (in_use > peak)
                peak = in_use;
        }
        return p;
    }
    void fastFree(void *ptr) override
    {
        if (!ptr)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = sizes.find(ptr);
            if (it != sizes.end()) {
                in_use -= it->second;
                sizes.erase(it);
            }
        }
        ncnn::fastFree(ptr);
    }
    size_t peak = 0;

private:
    std::mutex mutex;
    std::unordered_map<void *, size_t> sizes;
    size_t in_use = 0;
};

bool save_planes(const ncnn::Mat &m, const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = true;
    for (int q = 0; q < m.c && ok; q++)
        ok = std::fwrite(m.channel(q), sizeof(float), static_cast<size_t>(m.w) * m.h, f) ==
             static_cast<size_t>(m.w) * m.h;
    return std::fclose(f) == 0 && ok;
}

int usage()
{
    std::fprintf(
        stderr,
        "usage: bench (--param FILE --bin FILE | --generate rrdb-x4|rrdb-x2|srvgg [--blocks N] [--fp16])\n"
        "             [--size WxH] [--backend reference|onednn|vulkan|auto] [--threads N] [--runs N]\n"
        "             [--details]  (onednn: convolutions alone, FMA peak, first run apart)\n"
        "             [--winograd on|off]  (3x3 convolutions by Winograd where it pays; default on)\n"
        "             [--save-output FILE]  (the last run's output, raw float32 planes, for "
        "torch_bench.py)\n"
        "             [--precision fp32|bf16|fp16]  (bf16: CPU products where it has them; fp16: GPU\n"
        "                                           storage, reserved: the GPU stores fp32 so far)\n"
        "             [--input FILE.rgb]  (W x H 8-bit RGB, interleaved, as `convert X rgb:FILE` writes; "
        "default a pattern)\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string param_path, bin_path, generate, backend_name = "auto", save_path, precision = "fp32",
                                                input_path;
    int w = 64, h = 64, threads = 1, runs = 1, blocks = 23;
    bool fp16 = false, details = false, winograd = true;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--fp16") {
            fp16 = true;
            continue;
        }
        if (a == "--details") {
            details = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        const char *v = argv[++i];
        if (a == "--param")
            param_path = v;
        else if (a == "--bin")
            bin_path = v;
        else if (a == "--generate")
            generate = v;
        else if (a == "--blocks")
            blocks = std::atoi(v);
        else if (a == "--size") {
            if (std::sscanf(v, "%dx%d", &w, &h) != 2)
                return usage();
        } else if (a == "--backend")
            backend_name = v;
        else if (a == "--threads")
            threads = std::atoi(v);
        else if (a == "--runs")
            runs = std::atoi(v);
        else if (a == "--save-output")
            save_path = v;
        else if (a == "--winograd")
            winograd = std::string(v) != "off";
        else if (a == "--precision")
            precision = v;
        else if (a == "--input")
            input_path = v;
        else
            return usage();
    }
    if (w < 1 || h < 1 || threads < 1 || runs < 1 ||
        (precision != "fp32" && precision != "bf16" && precision != "fp16") ||
        (generate.empty() && (param_path.empty() || bin_path.empty())))
        return usage();

    std::string err;
    std::string param_text;
    std::vector<unsigned char> bin;
    if (!generate.empty()) {
        using namespace brivelle::modelgen;
        const Storage storage = fp16 ? Storage::Fp16 : Storage::Fp32;
        ModelFiles files;
        if (generate == "rrdb-x4" || generate == "rrdb-x2") {
            RrdbConfig cfg;
            cfg.blocks = blocks;
            cfg.scale = generate == "rrdb-x4" ? 4 : 2;
            files = rrdbnet(cfg, storage, 1);
        } else if (generate == "srvgg") {
            files = srvgg(SrvggConfig(), storage, 1);
        } else {
            return usage();
        }
        param_text = files.param;
        bin = files.bin;
    } else {
        std::vector<unsigned char> text;
        if (ncnn::read_file(param_path.c_str(), size_t(64) << 20, text, err) != 0 ||
            ncnn::read_file(bin_path.c_str(), size_t(4) << 30, bin, err) != 0) {
            std::fprintf(stderr, "bench: %s\n", err.c_str());
            return 1;
        }
        param_text.assign(text.begin(), text.end());
    }

    ncnn::Graph graph;
    if (ncnn::parse_param(param_text.data(), param_text.size(), graph, err) != 0 ||
        ncnn::load_weights(bin.data(), bin.size(), graph, err) != 0) {
        std::fprintf(stderr, "bench: %s\n", err.c_str());
        return 1;
    }
    bin.clear();
    bin.shrink_to_fit();

    ncnn::Option opt;
    opt.num_threads = threads;
    opt.lightmode = true;
    opt.use_winograd_convolution = winograd;
    opt.use_bf16_storage = precision == "bf16";
    PeakAllocator peak;
    opt.blob_allocator = &peak;
    opt.workspace_allocator = &peak;
    const ncnn::VulkanDevice *vkdev = nullptr;
    if (backend_name == "vulkan" || backend_name == "auto") {
        ncnn::create_gpu_instance();
        if (ncnn::get_gpu_count() > 0)
            vkdev = ncnn::get_gpu_device(ncnn::get_default_gpu_index());
        opt.use_vulkan_compute = vkdev != nullptr;
        opt.use_fp16_storage = precision == "fp16";
    }
    for (auto &layer : graph.layers)
        if (layer->create_pipeline(opt) != 0) {
            std::fprintf(stderr, "bench: create_pipeline failed for %s\n", layer->name.c_str());
            return 1;
        }
    const ncnn::Backend *backend =
        backend_name == "auto" ? ncnn::choose_backend(graph, opt, vkdev) : ncnn::find_backend(backend_name);
    if (!backend) {
        std::fprintf(stderr, "bench: backend '%s' is not built in\n", backend_name.c_str());
        return 1;
    }
    if (!ncnn::runs_graph(*backend, graph, opt, vkdev)) {
        std::fprintf(stderr, "bench: backend '%s' does not support this network here\n", backend->name());
        return 1;
    }
#ifdef BRIVELLE_ONEDNN_DETAILS
    if (details && std::string(backend->name()) == "onednn") {
        if (!save_path.empty()) {
            std::fprintf(stderr, "bench: --save-output is not written with --details\n");
            return 2;
        }
        return brivelle::onednn::printOnednnDetails(graph, w, h, threads, runs, winograd,
                                                    opt.use_bf16_storage ? ncnn::Storage::Bf16
                                                                         : ncnn::Storage::Fp32);
    }
#endif
    (void)details;
    auto plan = backend->compile(graph, opt, vkdev, err);
    if (!plan) {
        std::fprintf(stderr, "bench: %s\n", err.c_str());
        return 1;
    }
    const int in_blob = graph.find_blob("data");
    const int out_blob = graph.find_blob("output");
    if (in_blob < 0 || out_blob < 0) {
        std::fprintf(stderr, "bench: the network needs blobs 'data' and 'output'\n");
        return 1;
    }
    ncnn::Mat input(w, h, 3);
    std::vector<unsigned char> rgb;
    if (!input_path.empty() && (ncnn::read_file(input_path.c_str(), size_t(1) << 30, rgb, err) != 0 ||
                                rgb.size() != size_t(w) * h * 3)) {
        std::fprintf(stderr, "bench: %s is not %dx%d 8-bit RGB %s\n", input_path.c_str(), w, h, err.c_str());
        return 1;
    }
    for (int q = 0; q < 3; q++) {
        float *p = input.channel(q);
        for (int i = 0; i < w * h; i++)
            p[i] = static_cast<float>(rgb.empty() ? (i * 7 + q * 13) % 256 : rgb[size_t(i) * 3 + q]) / 255.f;
    }
    const double macs = graph.macs_for_input(w, h, 3);

    // CPU time as well as wall time: on a shared machine only the former says what the code costs.
    double best = 1e30, total = 0, cpu_total = 0;
    ncnn::Mat out;
    for (int r = 0; r <= runs; r++) {
        std::vector<ncnn::Mat> blobs(graph.blobs.size());
        blobs[in_blob] = input;
        const auto t0 = std::chrono::steady_clock::now();
        const std::clock_t c0 = std::clock();
        if (plan->run(blobs, out_blob, opt, err) != 0) {
            std::fprintf(stderr, "bench: %s\n", err.c_str());
            return 1;
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        out = blobs[out_blob];
        const double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
        if (r == 0 && runs > 0)
            continue; // the first run pays for plan caches and page faults
        best = std::min(best, s);
        total += s;
        cpu_total += cpu;
    }
    if (!save_path.empty() && !save_planes(out, save_path)) {
        std::fprintf(stderr, "bench: cannot write %s\n", save_path.c_str());
        return 1;
    }
    long rss_kib = 0;
#if defined(__unix__)
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    rss_kib = ru.ru_maxrss;
#endif
    std::printf("network     %s\n", generate.empty() ? param_path.c_str() : generate.c_str());
    std::printf("backend     %s\n", backend->name());
    std::printf("precision   %s\n", precision.c_str());
    std::printf("threads     %d\n", threads);
    std::printf("input       %dx%dx3 -> output %dx%dx%d\n", w, h, out.w, out.h, out.c);
    std::printf("MACs        %.3f G\n", macs / 1e9);
    std::printf("seconds     %.4f (best of %d), %.4f mean\n", best, runs, total / runs);
    std::printf("GFLOP/s     %.2f\n", 2.0 * macs / best / 1e9);
    std::printf("CPU seconds %.4f per run (all threads), %.2f GFLOP per CPU second\n", cpu_total / runs,
                2.0 * macs * runs / cpu_total / 1e9);
    std::printf("peak blobs  %.1f MiB\n", static_cast<double>(peak.peak) / (1 << 20));
    std::printf("peak RSS    %.1f MiB\n", static_cast<double>(rss_kib) / 1024);
    plan.reset();
    for (auto &layer : graph.layers)
        layer->destroy_pipeline(opt);
    return 0;
}
