// onednn_bench: the oneDNN path on Real-ESRGAN-shaped graphs with seeded weights.
// usage: onednn_bench [rrdb|srvgg] [size] [threads] [repeats] [blocks]
//        onednn_bench memory [rrdb|srvgg] [blocks]: peak blob memory per tile size, without running

#include "fma_probe.h"
#include "onednn_bench.h"
#include "sample_graphs.h"

#include <cstdio>
#include <cstdlib>
#include <string>

using namespace brivelle::onednn;

int main(int argc, char **argv)
{
    if (argc > 1 && std::string(argv[1]) == "memory") {
        const std::string which = argc > 2 ? argv[2] : "rrdb";
        const int memBlocks = argc > 3 ? std::atoi(argv[3]) : 23;
        const SampleGraph g =
            which == "srvgg" ? makeSrvggGraph(16, 64, 7) : makeRrdbNetGraph(memBlocks, 64, 32, 7);
        std::printf("tile   light mode MiB   all blobs kept MiB   output MiB\n");
        for (int tile : {64, 128, 256, 352}) {
            size_t bytes[2] = {0, 0};
            for (int light = 0; light < 2; ++light) {
                PlanOptions options;
                options.numThreads = 2;
                options.lightMode = light == 1;
                std::string error;
                std::unique_ptr<Plan> plan;
                if (Plan::compile(*g.graph, {{g.input, Shape{3, tile, tile}}}, {g.output}, options, plan,
                                  error) != 0) {
                    std::fprintf(stderr, "error: %s\n", error.c_str());
                    return 1;
                }
                bytes[light] = plan->peakBlobBytes();
            }
            std::printf("%4d   %14.1f   %18.1f   %10.1f\n", tile, bytes[1] / 1048576.0, bytes[0] / 1048576.0,
                        3.0 * 16 * tile * tile * 4 / 1048576.0);
        }
        return 0;
    }
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
    double peakPerCpu = 0.0;
    const double peak = measureFmaPeakGflops(threads, 0.5, &peakPerCpu);
    std::printf("model %s, input 3x%dx%d, %d threads, oneDNN prefers %s\n", model.c_str(), size, size,
                threads, layoutName(preferredLayout()));
    std::printf("FMA peak (probe):        %8.1f GFLOP/s\n", peak);
    const BenchReport r = benchmarkGraph(*g.graph, g.input, g.output, Shape{3, size, size}, threads, repeats);
    if (r.code != 0) {
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
    std::printf("per CPU time:            %8.1f GFLOP/s whole network, FMA peak %.1f GFLOP/s (%.0f%%)\n",
                r.wholeGflopsPerCpu(threads), peakPerCpu, 100.0 * r.wholeGflopsPerCpu(threads) / peakPerCpu);
    std::printf("first run:               %8.3f s (compile %.3f s, extra over steady state %.3f s)\n",
                r.firstRunSeconds, r.compileSeconds, r.firstRunSeconds - r.bestRun());
    std::printf("peak blob memory:        %8.1f MiB (light mode, measured in the pool)\n",
                r.peakBlobBytes / 1048576.0);
    std::printf("process peak resident:   %8.1f MiB\n", processPeakResidentBytes() / 1048576.0);
    return 0;
}
