// onednn_bench: the oneDNN path on Real-ESRGAN-shaped graphs with seeded weights.
// usage: onednn_bench [rrdb|srvgg] [size] [threads] [repeats] [blocks]

#include "fma_probe.h"
#include "onednn_bench.h"
#include "sample_graphs.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace brivelle::onednn;

int main(int argc, char **argv)
{
    const std::string model = argc > 1 ? argv[1] : "rrdb";
    const int size = argc > 2 ? std::atoi(argv[2]) : 352;
    const int threads = argc > 3 ? std::atoi(argv[3]) : 2;
    const int repeats = argc > 4 ? std::atoi(argv[4]) : 3;
    const int blocks = argc > 5 ? std::atoi(argv[5]) : 23;
    if (size <= 0 || threads <= 0 || repeats <= 0 || blocks <= 0) {
        std::fprintf(stderr, "usage: onednn_bench [rrdb|srvgg] [size] [threads] [repeats] [blocks]\n");
        return 2;
    }
    const SampleGraph g = model == "srvgg" ? makeSrvggGraph(16, 64, 7) : makeRrdbNetGraph(blocks, 64, 32, 7);
    const double peak = measureFmaPeakGflops(threads);
    std::printf("model %s, input 3x%dx%d, %d threads, channel block %d\n", model.c_str(), size, size, threads,
                preferredChannelBlock());
    std::printf("FMA peak (probe):        %8.1f GFLOP/s\n", peak);
    const BenchReport r = benchmarkGraph(g.graph, g.input, g.output, Shape{3, size, size}, threads, repeats);
    if (!r.error.empty()) {
        std::fprintf(stderr, "error: %s\n", r.error.c_str());
        return 1;
    }
    std::printf("MACs:                    %8.3f G (%.2f M per input pixel)\n", r.macs * 1e-9,
                r.macs / (double(size) * size) * 1e-6);
    for (size_t i = 0; i < r.runSeconds.size(); ++i)
        std::printf("run %zu:                   %8.3f s (convolutions %.3f s)\n", i + 1, r.runSeconds[i],
                    r.convSeconds[i]);
    std::printf("whole network:           %8.1f GFLOP/s (%.0f%% of convolutions alone, %.0f%% of FMA peak)\n",
                r.wholeGflops(), 100.0 * r.wholeGflops() / r.convolutionsGflops(),
                100.0 * r.wholeGflops() / peak);
    std::printf("convolutions alone:      %8.1f GFLOP/s (%.0f%% of FMA peak)\n", r.convolutionsGflops(),
                100.0 * r.convolutionsGflops() / peak);
    std::printf("first run:               %8.3f s (compile %.3f s, extra over steady state %.3f s)\n",
                r.firstRunSeconds, r.compileSeconds, r.firstRunSeconds - r.bestRun());
    std::printf("peak blob memory:        %8.1f MiB (light mode)\n", r.peakBlobBytes / 1048576.0);
    std::printf("process peak resident:   %8.1f MiB\n", processPeakResidentBytes() / 1048576.0);
    return 0;
}
