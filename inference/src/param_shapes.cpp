#include "file_io.h"
#include "graph.h"

#include <ncnn/net.h>

#include <cstring>

namespace ncnn {

namespace {

// Real .param files are a few hundred KiB; anything this big is not a network description.
constexpr size_t kMaxParamBytes = size_t(64) << 20;

std::string shape_text(const Shape &s)
{
    return std::to_string(s.w) + "x" + std::to_string(s.h) + "x" + std::to_string(s.c);
}

} // namespace

class ParamShapes::Private {
public:
    Graph graph;
    std::string error;

    int parse(const char *text, size_t size)
    {
        graph.clear();
        error.clear();
        return parse_param(text, size, graph, error);
    }
};

ParamShapes::ParamShapes() : d(new Private) {}

ParamShapes::~ParamShapes()
{
    delete d;
}

int ParamShapes::load_param(const char *protopath)
{
    std::vector<unsigned char> bytes;
    d->graph.clear();
    if (const int code = read_file(protopath, kMaxParamBytes, bytes, d->error); code != 0)
        return code;
    const int rc = d->parse(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    if (rc != 0)
        d->error = std::string(protopath) + ": " + d->error;
    return rc;
}

int ParamShapes::load_param_mem(const char *mem)
{
    if (!mem) {
        d->graph.clear();
        d->error = "no .param text given";
        return ERROR_FAILED;
    }
    return d->parse(mem, std::strlen(mem));
}

std::vector<std::string> ParamShapes::input_names() const
{
    std::vector<std::string> names;
    for (const auto &layer : d->graph.layers)
        if (layer->bottoms.empty())
            for (int top : layer->tops)
                names.push_back(d->graph.blobs[top].name);
    return names;
}

std::vector<std::string> ParamShapes::output_names() const
{
    std::vector<std::string> names;
    for (const GraphBlob &blob : d->graph.blobs)
        if (blob.producer >= 0 && blob.consumers.empty())
            names.push_back(blob.name);
    return names;
}

int ParamShapes::blob_shape(const char *blob, int w, int h, int c, int &out_w, int &out_h, int &out_c)
{
    out_w = out_h = out_c = 0;
    const int target = blob ? d->graph.find_blob(blob) : -1;
    if (target < 0) {
        d->error = std::string("no blob named \"") + (blob ? blob : "") + "\"";
        return ERROR_FAILED;
    }
    // Blobs that a refused shape does not reach keep dims 0, so the first refusal is the one reported.
    std::vector<Shape> shapes(d->graph.blobs.size());
    d->error.clear();
    for (const auto &layer : d->graph.layers) {
        std::vector<Shape> in, out(layer->tops.size());
        bool known = true;
        for (int b : layer->bottoms) {
            in.push_back(shapes[b]);
            known = known && shapes[b].dims != 0;
        }
        if (!known)
            continue;
        if (layer->bottoms.empty()) {
            for (Shape &s : out)
                s = Shape{3, w, h, c};
        } else if (!layer->infer_shape(in, out)) {
            if (d->error.empty())
                d->error = layer->type + " " + layer->name + " refuses an input of " + shape_text(in[0]);
            continue;
        }
        for (size_t k = 0; k < out.size(); k++)
            shapes[layer->tops[k]] = out[k];
        if (shapes[target].dims != 0)
            break;
    }
    const Shape &s = shapes[target];
    if (s.dims == 0) {
        if (d->error.empty())
            d->error = "blob \"" + std::string(blob) + "\" is not reached from the inputs";
        return ERROR_BAD_INPUT;
    }
    out_w = s.w;
    out_h = s.dims >= 2 ? s.h : 1;
    out_c = s.dims == 3 ? s.c : 1;
    return 0;
}

const std::string &ParamShapes::last_error() const
{
    return d->error;
}

} // namespace ncnn
