#pragma once

#include <string>
#include <vector>

namespace ncnn {

// A token of a .param file as messages quote it: in single quotes, every byte that is not printable
// ASCII written as \xNN, and cut short after a few dozen characters, so a damaged or hostile file never
// drives a terminal nor floods a log.
std::string quoted(const std::string &token);

// The key=value pairs of one layer line. Keys are 0..MAX_KEYS-1; a value is an int, a float or an
// array of either (written with the key -23300-k). Numbers written as ints read back as floats and
// the other way round, as in ncnn.
class ParamDict {
public:
    static constexpr int MAX_KEYS = 32;

    ParamDict();

    int get(int id, int def) const;
    float get(int id, float def) const;
    // Empty when the key is absent.
    std::vector<float> get_floats(int id) const;
    std::vector<int> get_ints(int id) const;
    bool has(int id) const;

    void set(int id, int v);
    void set(int id, float v);
    void set(int id, const std::vector<float> &v);
    void clear();

    // Parses the pairs that follow the blob names, e.g. {"0=64", "-23310=1,2.0e-01"}. 0, or
    // ERROR_BAD_MODEL with the bad token described in err.
    int parse(const std::vector<std::string> &tokens, std::string &err);

private:
    struct Entry {
        // 0 absent, 1 int, 2 float, 4 array
        int type = 0;
        int i = 0;
        float f = 0.f;
        std::vector<float> fv;
        std::vector<int> iv;
    };
    Entry entries[MAX_KEYS];
};

} // namespace ncnn
