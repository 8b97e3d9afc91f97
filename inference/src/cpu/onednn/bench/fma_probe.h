#pragma once

namespace brivelle::onednn {

// The machine's FP32 multiply-add peak in GFLOP/s, measured with independent FMA chains on `threads`
// threads for about `seconds`: the yardstick the benchmark compares the network against.
double measureFmaPeakGflops(int threads, double seconds = 0.5);

} // namespace brivelle::onednn
