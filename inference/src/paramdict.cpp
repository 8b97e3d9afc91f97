#include "paramdict.h"

#include <ncnn/errors.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace ncnn {

namespace {

// ncnn writes floats with a '.' or an exponent; everything else is an int.
bool looks_float(const std::string &s)
{
    return s.find_first_of(".eE") != std::string::npos || s.find("nan") != std::string::npos ||
           s.find("inf") != std::string::npos;
}

bool parse_int(const std::string &s, int &v)
{
    if (s.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    const long long x = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || x < -2147483648LL || x > 2147483647LL)
        return false;
    v = static_cast<int>(x);
    return true;
}

bool parse_float(const std::string &s, float &v)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    v = std::strtof(s.c_str(), &end);
    return *end == '\0';
}

// One scalar: sets both readings so that a key may be read as int or float.
bool parse_number(const std::string &s, int &i, float &f, bool &is_float)
{
    is_float = looks_float(s);
    if (is_float) {
        if (!parse_float(s, f))
            return false;
        i = std::isfinite(f) && std::fabs(f) < 2.1e9f ? static_cast<int>(f) : 0;
        return true;
    }
    if (!parse_int(s, i))
        return false;
    f = static_cast<float>(i);
    return true;
}

} // namespace

ParamDict::ParamDict() = default;

int ParamDict::get(int id, int def) const
{
    if (id < 0 || id >= MAX_KEYS || entries[id].type == 0 || entries[id].type == 4)
        return def;
    return entries[id].i;
}

float ParamDict::get(int id, float def) const
{
    if (id < 0 || id >= MAX_KEYS || entries[id].type == 0 || entries[id].type == 4)
        return def;
    return entries[id].f;
}

std::vector<float> ParamDict::get_floats(int id) const
{
    if (id < 0 || id >= MAX_KEYS || entries[id].type != 4)
        return {};
    return entries[id].fv;
}

std::vector<int> ParamDict::get_ints(int id) const
{
    if (id < 0 || id >= MAX_KEYS || entries[id].type != 4)
        return {};
    return entries[id].iv;
}

bool ParamDict::has(int id) const
{
    return id >= 0 && id < MAX_KEYS && entries[id].type != 0;
}

void ParamDict::set(int id, int v)
{
    if (id < 0 || id >= MAX_KEYS)
        return;
    entries[id] = Entry();
    entries[id].type = 1;
    entries[id].i = v;
    entries[id].f = static_cast<float>(v);
}

void ParamDict::set(int id, float v)
{
    if (id < 0 || id >= MAX_KEYS)
        return;
    entries[id] = Entry();
    entries[id].type = 2;
    entries[id].f = v;
    entries[id].i = static_cast<int>(v);
}

void ParamDict::set(int id, const std::vector<float> &v)
{
    if (id < 0 || id >= MAX_KEYS)
        return;
    entries[id] = Entry();
    entries[id].type = 4;
    entries[id].fv = v;
    for (float x : v)
        entries[id].iv.push_back(std::isfinite(x) && std::fabs(x) < 2.1e9f ? static_cast<int>(x) : 0);
}

std::string quoted(const std::string &token)
{
    constexpr size_t kShown = 40;
    static const char hex[] = "0123456789abcdef";
    std::string out = "'";
    for (size_t i = 0; i < token.size(); i++) {
        if (i == kShown) {
            out += "...";
            break;
        }
        const unsigned char c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out + "'";
}

void ParamDict::clear()
{
    for (Entry &e : entries)
        e = Entry();
}

int ParamDict::parse(const std::vector<std::string> &tokens, std::string &err)
{
    for (const std::string &tok : tokens) {
        const size_t eq = tok.find('=');
        if (eq == std::string::npos) {
            err = "expected key=value, got " + quoted(tok);
            return ERROR_BAD_MODEL;
        }
        int key = 0;
        if (!parse_int(tok.substr(0, eq), key)) {
            err = "bad key in " + quoted(tok);
            return ERROR_BAD_MODEL;
        }
        const std::string value = tok.substr(eq + 1);
        const bool is_array = key <= -23300;
        const int id = is_array ? -key - 23300 : key;
        if (id < 0 || id >= MAX_KEYS) {
            err = "key " + std::to_string(key) + ": expected 0.." + std::to_string(MAX_KEYS - 1) +
                  " (or -23300..-" + std::to_string(23300 + MAX_KEYS - 1) + " for arrays)";
            return ERROR_BAD_MODEL;
        }
        if (entries[id].type != 0) {
            err = "key " + std::to_string(id) + " given twice";
            return ERROR_BAD_MODEL;
        }
        Entry &e = entries[id];
        if (!is_array) {
            bool is_float = false;
            if (!parse_number(value, e.i, e.f, is_float)) {
                err = "key " + std::to_string(id) + ": bad number " + quoted(value);
                return ERROR_BAD_MODEL;
            }
            e.type = is_float ? 2 : 1;
            continue;
        }
        // "n,v1,...,vn"
        std::vector<std::string> parts;
        size_t start = 0;
        while (true) {
            const size_t comma = value.find(',', start);
            parts.push_back(
                value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
        int n = 0;
        if (!parse_int(parts[0], n) || n < 0) {
            err = "key " + std::to_string(key) + ": bad array length " + quoted(parts[0]);
            return ERROR_BAD_MODEL;
        }
        if (static_cast<size_t>(n) != parts.size() - 1) {
            err = "key " + std::to_string(key) + ": array length " + std::to_string(n) + " but " +
                  std::to_string(parts.size() - 1) + " values";
            return ERROR_BAD_MODEL;
        }
        e.type = 4;
        for (int k = 0; k < n; k++) {
            int iv = 0;
            float fv = 0.f;
            bool is_float = false;
            if (!parse_number(parts[k + 1], iv, fv, is_float)) {
                err = "key " + std::to_string(key) + ": bad number " + quoted(parts[k + 1]) + " at index " +
                      std::to_string(k);
                e = Entry();
                return ERROR_BAD_MODEL;
            }
            e.iv.push_back(iv);
            e.fv.push_back(fv);
        }
    }
    return 0;
}

} // namespace ncnn
