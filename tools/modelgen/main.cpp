// brivelle-modelgen: writes a generated network as <prefix>.param and <prefix>.bin.
#include "modelgen.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: brivelle-modelgen --arch rrdb|srvgg [--scale 1|2|4] [--blocks N] [--features N]\n"
                 "                         [--growth N] [--convs N] [--fp16] [--seed N] [--param-size BYTES "
                 "--bin-size BYTES]\n"
                 "                         -o PREFIX\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    using namespace brivelle::modelgen;
    std::string arch, prefix;
    RrdbConfig rrdb;
    SrvggConfig vgg;
    Storage storage = Storage::Fp32;
    uint32_t seed = 1;
    long long param_size = -1, bin_size = -1;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto next = [&]() -> const char * {
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        const char *v = nullptr;
        if (a == "--fp16") {
            storage = Storage::Fp16;
            continue;
        }
        if (!(v = next()))
            return usage();
        if (a == "--arch")
            arch = v;
        else if (a == "--scale")
            rrdb.scale = vgg.scale = std::atoi(v);
        else if (a == "--blocks")
            rrdb.blocks = std::atoi(v);
        else if (a == "--features")
            rrdb.features = vgg.features = std::atoi(v);
        else if (a == "--growth")
            rrdb.growth = std::atoi(v);
        else if (a == "--convs")
            vgg.convs = std::atoi(v);
        else if (a == "--seed")
            seed = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        else if (a == "--param-size")
            param_size = std::atoll(v);
        else if (a == "--bin-size")
            bin_size = std::atoll(v);
        else if (a == "-o")
            prefix = v;
        else
            return usage();
    }
    if (prefix.empty() || (arch != "rrdb" && arch != "srvgg") ||
        (rrdb.scale != 1 && rrdb.scale != 2 && rrdb.scale != 4 && arch == "rrdb") || rrdb.blocks < 0 ||
        rrdb.features < 1 || rrdb.growth < 1 || vgg.convs < 0 || vgg.scale < 1)
        return usage();
    ModelFiles files = arch == "rrdb" ? rrdbnet(rrdb, storage, seed) : srvgg(vgg, storage, seed);
    std::string err;
    if (param_size >= 0 || bin_size >= 0) {
        if (param_size < 0 || bin_size < 0)
            return usage();
        if (!pad_to_size(files, static_cast<size_t>(param_size), static_cast<size_t>(bin_size), err)) {
            std::fprintf(stderr, "brivelle-modelgen: %s\n", err.c_str());
            return 1;
        }
    }
    if (!write_files(files, prefix + ".param", prefix + ".bin", err)) {
        std::fprintf(stderr, "brivelle-modelgen: %s\n", err.c_str());
        return 1;
    }
    std::printf("%s.param (%zu bytes), %s.bin (%zu bytes)\n", prefix.c_str(), files.param.size(),
                prefix.c_str(), files.bin.size());
    return 0;
}
