#include "file_io.h"

#include <ncnn/errors.h>

#include <cstdio>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace ncnn {

namespace {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

std::FILE *open_utf8(const char *path)
{
#if defined(_WIN32)
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0)
        return nullptr;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &wide[0], n);
    return _wfopen(wide.c_str(), L"rb");
#else
    return std::fopen(path, "rb");
#endif
}

} // namespace

int read_file(const char *utf8_path, size_t max_bytes, std::vector<unsigned char> &out, std::string &err)
{
    out.clear();
    if (!utf8_path) {
        err = "no path given";
        return ERROR_FAILED;
    }
    std::unique_ptr<std::FILE, FileCloser> f(open_utf8(utf8_path));
    if (!f) {
        err = std::string("cannot open '") + utf8_path + "'";
        return ERROR_FAILED;
    }
    // Read in chunks rather than trusting a size query: pipes and special files report none.
    unsigned char buffer[1 << 16];
    while (true) {
        const size_t n = std::fread(buffer, 1, sizeof buffer, f.get());
        if (n == 0)
            break;
        if (out.size() + n > max_bytes) {
            err = std::string("'") + utf8_path + "' is larger than " + std::to_string(max_bytes) + " bytes";
            out.clear();
            return ERROR_FAILED;
        }
        out.insert(out.end(), buffer, buffer + n);
    }
    if (std::ferror(f.get())) {
        err = std::string("cannot read '") + utf8_path + "'";
        out.clear();
        return ERROR_FAILED;
    }
    return 0;
}

} // namespace ncnn
