// Feeds arbitrary bytes to the .param parser; when they parse, loads zero weights and runs the network.
#include "fuzz_common.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    ncnn::Net net;
    net.opt.num_threads = 1;
    if (net.load_param_mem(text.c_str()) != 0)
        return 0;
    // Zero bytes read as untagged fp32 zeros: enough for the small networks the fuzzer finds.
    static const std::vector<unsigned char> zeros(1 << 16, 0);
    if (net.load_model_mem(zeros.data(), zeros.size()) != 0)
        return 0;
    run_small(net, "data", "output");
    return 0;
}
