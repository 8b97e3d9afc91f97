#include "graph.h"
#include "paramdict.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <unordered_map>

namespace ncnn {

namespace {

// Blob and layer counts beyond this are refused before anything is allocated for them.
constexpr long kMaxCount = 1 << 20;

// Names reappear in every later message about their layer, so they must be short printable text.
bool plain_name(const std::string &s)
{
    constexpr size_t kLongest = 256;
    if (s.size() > kLongest)
        return false;
    for (const char c : s) {
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7e)
            return false;
    }
    return true;
}

bool parse_count(const std::string &s, long &v)
{
    if (s.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    v = std::strtol(s.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

std::vector<std::string> split_ws(const std::string &line)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        const size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            i++;
        if (i > start)
            out.push_back(line.substr(start, i - start));
    }
    return out;
}

} // namespace

int Graph::find_blob(const std::string &name) const
{
    for (size_t i = 0; i < blobs.size(); i++)
        if (blobs[i].name == name)
            return static_cast<int>(i);
    return kNoBlob;
}

void Graph::clear()
{
    layers.clear();
    blobs.clear();
}

namespace {

// The non-blank lines of a .param text as tokens, with their line numbers for the messages.
using ParamLines = std::vector<std::pair<int, std::vector<std::string>>>;

ParamLines split_lines(const char *text, size_t size)
{
    ParamLines lines;
    int number = 0;
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && text[end] != '\n')
            end++;
        number++;
        std::vector<std::string> tokens = split_ws(std::string(text + start, end - start));
        if (!tokens.empty())
            lines.emplace_back(number, std::move(tokens));
        start = end + 1;
    }
    return lines;
}

int line_error(int line, const std::string &msg, std::string &err)
{
    err = "line " + std::to_string(line) + ": " + msg;
    return ERROR_BAD_MODEL;
}

// The magic number and the two counts: 0, or ERROR_BAD_MODEL naming the line.
int parse_header(const ParamLines &lines, long &layer_count, long &blob_count, std::string &err)
{
    if (lines.empty())
        return line_error(1, "magic: expected 7767517, got an empty file", err);
    if (lines[0].second.size() != 1 || lines[0].second[0] != "7767517")
        return line_error(lines[0].first, "magic: expected 7767517, got " + quoted(lines[0].second[0]), err);
    if (lines.size() < 2)
        return line_error(lines[0].first + 1, "expected layer and blob counts, got end of file", err);
    const auto &counts = lines[1].second;
    if (counts.size() != 2 || !parse_count(counts[0], layer_count) || !parse_count(counts[1], blob_count))
        return line_error(lines[1].first, "expected two counts (layers, blobs)", err);
    if (layer_count <= 0 || layer_count > kMaxCount)
        return line_error(lines[1].first,
                          "layer count: expected 1.." + std::to_string(kMaxCount) + ", got " +
                              std::to_string(layer_count),
                          err);
    if (blob_count <= 0 || blob_count > kMaxCount)
        return line_error(lines[1].first,
                          "blob count: expected 1.." + std::to_string(kMaxCount) + ", got " +
                              std::to_string(blob_count),
                          err);
    const size_t available = lines.size() - 2;
    if (static_cast<size_t>(layer_count) > available)
        return line_error(lines.back().first,
                          "truncated: expected " + std::to_string(layer_count) + " layer lines, got " +
                              std::to_string(available),
                          err);
    return 0;
}

// The graph so far, while its layer lines are read.
struct GraphBuilder {
    Graph &g;
    long blob_count;
    std::unordered_map<std::string, int> blob_index;

    int connect(int line, Layer &layer, const std::vector<std::string> &tok, long nb, long nt,
                std::string &err);
    int add_layer(int line, const std::vector<std::string> &tok, std::string &err);
};

// The layer's input and output blobs by name: inputs produced before it, outputs new.
int GraphBuilder::connect(int line, Layer &layer, const std::vector<std::string> &tok, long nb, long nt,
                          std::string &err)
{
    const std::string &name = layer.name;
    const int layer_id = static_cast<int>(g.layers.size());
    for (long k = 0; k < nb; k++) {
        const std::string &bname = tok[size_t(4 + k)];
        if (!plain_name(bname))
            return line_error(
                line, "layer " + name + ": input blob " + quoted(bname) + " is not a plain name", err);
        const auto it = blob_index.find(bname);
        if (it == blob_index.end())
            return line_error(
                line, "layer " + name + ": input blob '" + bname + "' is not produced by an earlier layer",
                err);
        layer.bottoms.push_back(it->second);
        g.blobs[size_t(it->second)].consumers.push_back(layer_id);
    }
    for (long k = 0; k < nt; k++) {
        const std::string &tname = tok[size_t(4 + nb + k)];
        if (!plain_name(tname))
            return line_error(
                line, "layer " + name + ": output blob " + quoted(tname) + " is not a plain name", err);
        if (blob_index.count(tname))
            return line_error(
                line, "layer " + name + ": output blob '" + tname + "' is already produced by another layer",
                err);
        if (static_cast<long>(g.blobs.size()) >= blob_count)
            return line_error(
                line, "blob count: header says " + std::to_string(blob_count) + ", more are produced", err);
        const int id = static_cast<int>(g.blobs.size());
        GraphBlob blob;
        blob.name = tname;
        blob.producer = layer_id;
        g.blobs.push_back(blob);
        blob_index.emplace(tname, id);
        layer.tops.push_back(id);
    }
    return 0;
}

int GraphBuilder::add_layer(int line, const std::vector<std::string> &tok, std::string &err)
{
    if (tok.size() < 4)
        return line_error(line,
                          "expected type, name, input count and output count, got " +
                              std::to_string(tok.size()) + " fields",
                          err);
    const std::string &type = tok[0];
    const std::string &name = tok[1];
    if (!plain_name(type) || !plain_name(name))
        return line_error(line, "layer " + quoted(type) + " " + quoted(name) + ": not a plain name", err);
    long nb = 0, nt = 0;
    if (!parse_count(tok[2], nb) || !parse_count(tok[3], nt) || nb < 0 || nt < 0)
        return line_error(
            line, "layer " + name + ": bad input/output counts " + quoted(tok[2]) + " " + quoted(tok[3]),
            err);
    if (static_cast<size_t>(nb) + static_cast<size_t>(nt) > tok.size() - 4)
        return line_error(line,
                          "layer " + name + ": expected " + std::to_string(nb + nt) + " blob names, got " +
                              std::to_string(tok.size() - 4),
                          err);
    std::unique_ptr<Layer> layer = create_layer(type);
    if (!layer) {
        line_error(line, "unknown layer type " + quoted(type), err);
        return ERROR_UNSUPPORTED_LAYER;
    }
    layer->name = name;
    if (const int rc = connect(line, *layer, tok, nb, nt, err); rc != 0)
        return rc;
    std::string why;
    ParamDict pd;
    const std::vector<std::string> pairs(tok.begin() + 4 + nb + nt, tok.end());
    // Counts are checked after the parameters: some layers (BinaryOp with a scalar) take one input or two
    // depending on them.
    if (pd.parse(pairs, why) != 0 || layer->load_param(pd, why) != 0 ||
        layer->check_blob_counts(static_cast<int>(nb), static_cast<int>(nt), why) != 0)
        return line_error(line, "layer " + name + " (" + type + "): " + why, err);
    std::vector<Shape> hint(layer->tops.size());
    if (layer->bottoms.empty() && hint.size() == 1 && layer->infer_shape({}, hint)) {
        GraphBlob &b = g.blobs[size_t(layer->tops[0])];
        b.w = hint[0].w;
        b.h = hint[0].h;
        b.c = hint[0].c;
    }
    g.layers.push_back(std::move(layer));
    return 0;
}

} // namespace

int parse_param(const char *text, size_t size, Graph &graph, std::string &err)
{
    graph.clear();
    const ParamLines lines = split_lines(text, size);
    long layer_count = 0, blob_count = 0;
    if (const int rc = parse_header(lines, layer_count, blob_count, err); rc != 0)
        return rc;
    Graph g;
    GraphBuilder builder{g, blob_count, {}};
    for (long li = 0; li < layer_count; li++)
        if (const int rc = builder.add_layer(lines[size_t(2 + li)].first, lines[size_t(2 + li)].second, err);
            rc != 0)
            return rc;
    graph = std::move(g);
    return 0;
}

int load_weights(const unsigned char *data, size_t size, Graph &graph, std::string &err)
{
    return load_weights(ModelBin(data, size), graph, err);
}

int load_weights(const ModelBin &mb, Graph &graph, std::string &err)
{
    for (size_t i = 0; i < graph.layers.size(); i++) {
        Layer &layer = *graph.layers[i];
        mb.begin_layer(static_cast<int>(i), "layer " + layer.name + " (" + layer.type + ")");
        std::string why;
        if (layer.load_model(mb, why) != 0) {
            err = mb.error().empty() ? "layer " + layer.name + " (" + layer.type + "): " + why : mb.error();
            return ERROR_BAD_MODEL;
        }
        if (!mb.end_layer()) {
            err = mb.error();
            return ERROR_BAD_MODEL;
        }
    }
    // Weights left over belong to another network: a larger one of the same family would load its
    // first layers' worth and compute a wrong picture.
    if (mb.offset() != mb.bytes()) {
        err = "the weights of this .param end after " + std::to_string(mb.offset()) +
              " bytes, but the .bin has " + std::to_string(mb.bytes()) + ": it belongs to another network";
        return ERROR_BAD_MODEL;
    }
    return 0;
}

int first_layer_difference(const Graph &first, const Graph &second, std::string &err)
{
    const size_t common = std::min(first.layers.size(), second.layers.size());
    for (size_t i = 0; i < common; i++) {
        const Layer &a = *first.layers[i];
        const Layer &b = *second.layers[i];
        if (a.type != b.type || a.bottoms.size() != b.bottoms.size() || a.tops.size() != b.tops.size()) {
            err = "layer " + a.name + " (" + a.type + "): the second network has " + b.name + " (" + b.type +
                  ", " + std::to_string(b.bottoms.size()) + " in, " + std::to_string(b.tops.size()) +
                  " out) in its place";
            return ERROR_BAD_MODEL;
        }
    }
    if (first.layers.size() != second.layers.size()) {
        const Graph &longer = first.layers.size() > second.layers.size() ? first : second;
        const Layer &extra = *longer.layers[common];
        err = "layer " + extra.name + " (" + extra.type + "): only the " +
              (&longer == &first ? "first" : "second") + " network has it (" +
              std::to_string(first.layers.size()) + " layers against " +
              std::to_string(second.layers.size()) + ")";
        return ERROR_BAD_MODEL;
    }
    return 0;
}

double Graph::macs_for_input(int w, int h, int c) const
{
    std::vector<Shape> shapes(blobs.size());
    double total = 0.0;
    for (const auto &layer : layers) {
        std::vector<Shape> in, out(layer->tops.size());
        if (layer->bottoms.empty()) {
            for (Shape &s : out)
                s = Shape{3, w, h, c};
        } else {
            for (int b : layer->bottoms)
                in.push_back(shapes[b]);
            if (!layer->infer_shape(in, out))
                return -1.0;
            total += layer->macs(in, out);
        }
        for (size_t k = 0; k < out.size(); k++)
            shapes[layer->tops[k]] = out[k];
    }
    return total;
}

} // namespace ncnn
