#include "onednn_bench.h"

#include "fma_probe.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>

namespace brivelle::onednn {

namespace {

double since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

double BenchReport::bestRun() const
{
    return runSeconds.empty() ? 0.0 : *std::min_element(runSeconds.begin(), runSeconds.end());
}

double BenchReport::wholeGflops() const
{
    const double t = bestRun();
    return t > 0.0 ? 2.0 * macs / t * 1e-9 : 0.0;
}

double BenchReport::convolutionsGflops() const
{
    if (runSeconds.empty())
        return 0.0;
    const size_t best = std::min_element(runSeconds.begin(), runSeconds.end()) - runSeconds.begin();
    return convSeconds[best] > 0.0 ? 2.0 * macs / convSeconds[best] * 1e-9 : 0.0;
}

double BenchReport::wholeGflopsPerCpu(int threads) const
{
    if (runSeconds.empty())
        return 0.0;
    const size_t best = std::min_element(runSeconds.begin(), runSeconds.end()) - runSeconds.begin();
    return cpuSeconds[best] > 0.0 ? 2.0 * macs / (cpuSeconds[best] / threads) * 1e-9 : 0.0;
}

BenchReport benchmarkGraph(const ncnn::Graph &graph, int input, int output, Shape shape, int threads,
                           int repeats, bool lightMode, bool winograd, ncnn::Storage precision)
{
    BenchReport report;
    std::vector<float> in(static_cast<size_t>(shape.c) * shape.h * shape.w);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = static_cast<float>((i * 2654435761u) % 1000) / 1000.f;
    PlanOptions options;
    options.numThreads = threads;
    options.lightMode = lightMode;
    options.tryWinograd = winograd;
    options.precision = precision;
    BufferPool pool;

    const auto first = std::chrono::steady_clock::now();
    std::unique_ptr<Plan> plan;
    report.code = Plan::compile(graph, {{input, shape}}, {output}, options, plan, report.error);
    report.compileSeconds = since(first);
    if (report.code != 0)
        return report;
    report.macs = plan->convolutionMacs();
    report.kernels = plan->convolutionKernels();
    report.conversions = plan->conversionCount();
    const Shape outShape = plan->shapeOf(output);
    std::vector<float> out(static_cast<size_t>(outShape.c) * outShape.h * outShape.w);
    const TensorView inView{in.data(), shape, static_cast<size_t>(shape.h) * shape.w};
    const TensorView outView{out.data(), outShape, static_cast<size_t>(outShape.h) * outShape.w};
    report.code = plan->run({{input, inView}}, {{output, outView}}, pool, report.error);
    if (report.code != 0)
        return report;
    report.firstRunSeconds = since(first);
    report.peakBlobBytes = pool.peakBytes();
    for (int r = 0; r < repeats; ++r) {
        StepTimes times;
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        report.code = plan->run({{input, inView}}, {{output, outView}}, pool, report.error, &times);
        if (report.code != 0)
            return report;
        report.runSeconds.push_back(since(start));
        report.cpuSeconds.push_back(processCpuSeconds() - cpuStart);
        report.convSeconds.push_back(times.convolution);
    }
    return report;
}

size_t processPeakResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return static_cast<size_t>(std::stoull(line.substr(6))) * 1024;
    return 0;
}

} // namespace brivelle::onednn
