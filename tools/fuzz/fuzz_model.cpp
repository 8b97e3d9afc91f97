// Feeds arbitrary bytes as the .bin of a fixed network that uses every weight-bearing layer and storage.
#include "fuzz_common.h"

namespace {

const char kParam[] = "7767517\n"
                      "6 6\n"
                      "Input in 0 1 data\n"
                      "Convolution c1 1 1 data a 0=4 1=3 4=1 5=1 6=108 9=1\n"
                      "PReLU p1 1 1 a b 0=4\n"
                      "ConvolutionDepthWise d1 1 1 b c 0=4 1=3 4=-233 5=1 6=36 7=4\n"
                      "Convolution c2 1 1 c d 0=12 1=1 5=0 6=48\n"
                      "PixelShuffle ps 1 1 d output 0=2\n";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    ncnn::Net net;
    net.opt.num_threads = 1;
    if (net.load_param_mem(kParam) != 0)
        __builtin_trap(); // the fixed network must always parse
    if (net.load_model_mem(data, size) != 0)
        return 0;
    run_small(net, "data", "output");
    return 0;
}
