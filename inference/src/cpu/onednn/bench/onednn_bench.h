#pragma once

// Measurements of the oneDNN path for tools: whole-network throughput against its convolutions alone
// and against the machine's FMA peak, first-run cost, and peak blob memory.

#include "cpu/onednn/onednn_plan.h"

#include <string>
#include <vector>

namespace brivelle::onednn {

struct BenchReport {
    double macs = 0.0;
    std::vector<std::string> kernels; // of the convolutions, in schedule order
    int conversions = 0;              // steps between fp32 and bf16
    double firstRunSeconds = 0.0;     // compilation (primitives, weight reorders) and the first run
    double compileSeconds = 0.0;      // the compilation alone
    std::vector<double> runSeconds;   // steady-state runs
    std::vector<double> convSeconds;  // the convolution steps inside each of them
    std::vector<double> cpuSeconds;   // process CPU time of each of them
    size_t peakBlobBytes = 0;         // blob buffers in use at once, light mode
    int code = 0;                     // 0, or the failure's code of <ncnn/errors.h> with the reason in error
    std::string error;

    double bestRun() const;
    double wholeGflops() const;        // 2 * MACs / best run
    double convolutionsGflops() const; // 2 * MACs / convolution time of the best run
    // 2 * MACs / (CPU seconds / threads) of the best run: the rate while the threads actually ran.
    double wholeGflopsPerCpu(int threads) const;
};

BenchReport benchmarkGraph(const ncnn::Graph &graph, int input, int output, Shape shape, int threads,
                           int repeats, bool lightMode = true, bool winograd = true,
                           ncnn::Storage precision = ncnn::Storage::Fp32);

// The process's resident high-water mark in bytes (Linux), 0 elsewhere.
size_t processPeakResidentBytes();

} // namespace brivelle::onednn
