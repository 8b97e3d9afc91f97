#include "onednn_details.h"

#include "fma_probe.h"
#include "onednn_bench.h"

#include <cstdio>
#include <map>
#include <string>

namespace brivelle::onednn {

int printOnednnDetails(const ncnn::Graph &graph, int w, int h, int threads, int runs, bool winograd,
                       ncnn::Storage precision)
{
    const int input = graph.find_blob("data"), output = graph.find_blob("output");
    if (input < 0 || output < 0) {
        std::fprintf(stderr, "bench: the network needs blobs 'data' and 'output'\n");
        return 1;
    }
    double peakPerCpu = 0.0;
    const double peak = measureFmaPeakGflops(threads, 0.5, &peakPerCpu);
    const BenchReport r =
        benchmarkGraph(graph, input, output, Shape{3, h, w}, threads, runs, true, winograd, precision);
    if (r.code != 0) {
        std::fprintf(stderr, "bench: %s\n", r.error.c_str());
        return 1;
    }
    std::printf("input              %dx%dx3, %d threads, oneDNN prefers %s\n", w, h, threads,
                layoutName(preferredLayout()));
    std::printf("MACs               %.3f G\n", r.macs * 1e-9);
    std::map<std::string, int> kernels;
    for (const std::string &k : r.kernels)
        ++kernels[k];
    for (const auto &k : kernels)
        std::printf("kernel             %3d x %s\n", k.second, k.first.c_str());
    std::printf("precision          %s, %d conversions between fp32 and bf16\n",
                ncnn::storage_name(precision), r.conversions);
    for (size_t i = 0; i < r.runSeconds.size(); ++i)
        std::printf("run %-2zu             %.3f s (convolutions %.3f s)\n", i + 1, r.runSeconds[i],
                    r.convSeconds[i]);
    std::printf("whole network      %.1f GFLOP/s = %.1f%% of convolutions alone, %.1f%% of FMA peak\n",
                r.wholeGflops(), 100.0 * r.wholeGflops() / r.convolutionsGflops(),
                100.0 * r.wholeGflops() / peak);
    std::printf("convolutions alone %.1f GFLOP/s (%.1f%% of FMA peak)\n", r.convolutionsGflops(),
                100.0 * r.convolutionsGflops() / peak);
    std::printf("FMA peak (probe)   %.1f GFLOP/s\n", peak);
    std::printf(
        "per CPU time       %.1f GFLOP/s whole network, FMA peak %.1f GFLOP/s (%.1f%%): rates while the\n"
        "                   threads actually ran, for a machine shared with other work\n",
        r.wholeGflopsPerCpu(threads), peakPerCpu, 100.0 * r.wholeGflopsPerCpu(threads) / peakPerCpu);
    std::printf("first run          %.3f s (compilation %.3f s; %.3f s more than a steady run)\n",
                r.firstRunSeconds, r.compileSeconds, r.firstRunSeconds - r.bestRun());
    std::printf("peak blobs         %.1f MiB (light mode)\n", r.peakBlobBytes / 1048576.0);
    std::printf("peak RSS           %.1f MiB\n", processPeakResidentBytes() / 1048576.0);
    return 0;
}

} // namespace brivelle::onednn
