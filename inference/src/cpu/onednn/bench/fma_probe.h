#pragma once

namespace brivelle::onednn {

// The machine's FP32 multiply-add peak in GFLOP/s, measured with independent FMA chains on `threads`
// threads for about `seconds`: the yardstick the benchmark compares the network against.
// `perCpuSecond`, when given, receives the same work divided by the process CPU time per thread: on a
// shared machine that is what the threads reach while they actually run.
double measureFmaPeakGflops(int threads, double seconds = 0.5, double *perCpuSecond = nullptr);

// CPU time of the whole process, in seconds.
double processCpuSeconds();

} // namespace brivelle::onednn
