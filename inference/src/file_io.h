#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ncnn {

// Reads a whole file named by a UTF-8 path (wide-character API on Windows). Files over max_bytes are
// refused before anything is allocated for them. 0, or ERROR_FAILED with the reason in err.
int read_file(const char *utf8_path, size_t max_bytes, std::vector<unsigned char> &out, std::string &err);

} // namespace ncnn
