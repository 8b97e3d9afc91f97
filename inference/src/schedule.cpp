#include "schedule.h"

namespace ncnn {

std::vector<char> known_blobs(const std::vector<Mat> &blobs)
{
    std::vector<char> known(blobs.size(), 0);
    for (size_t b = 0; b < blobs.size(); b++)
        known[b] = !blobs[b].empty();
    return known;
}

int make_schedule(const Graph &graph, const std::vector<char> &known, int wanted, Schedule &out,
                  std::string &err)
{
    out.needed.assign(graph.layers.size(), 0);
    out.readers.assign(graph.blobs.size(), 0);
    out.inputs.clear();
    // Walk back from the wanted blob, stopping at blobs that are known.
    std::vector<char> visited(graph.blobs.size(), 0);
    std::vector<int> stack{wanted};
    while (!stack.empty()) {
        const int b = stack.back();
        stack.pop_back();
        if (visited[size_t(b)] || known[size_t(b)])
            continue;
        visited[size_t(b)] = 1;
        const int producer = graph.blobs[size_t(b)].producer;
        const Layer &layer = *graph.layers[size_t(producer)];
        if (layer.bottoms.empty()) {
            err = "input blob '" + graph.blobs[size_t(b)].name + "' was not set";
            return ERROR_BAD_INPUT;
        }
        out.needed[size_t(producer)] = 1;
        for (int bottom : layer.bottoms)
            stack.push_back(bottom);
    }
    for (size_t i = 0; i < graph.layers.size(); i++)
        if (out.needed[i])
            for (int b : graph.layers[i]->bottoms)
                out.readers[size_t(b)]++;
    for (size_t b = 0; b < graph.blobs.size(); b++)
        if (known[b] && out.readers[b] > 0)
            out.inputs.push_back(int(b));
    return 0;
}

std::shared_ptr<const Schedule> ScheduleCache::get(const std::vector<char> &known, int wanted, int &code,
                                                   std::string &err)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto &entry = schedules_[{known, wanted}];
    if (!entry) {
        auto made = std::make_shared<Schedule>();
        code = make_schedule(graph_, known, wanted, *made, err);
        if (code != 0) {
            schedules_.erase({known, wanted});
            return nullptr;
        }
        entry = made;
    }
    code = 0;
    return entry;
}

} // namespace ncnn
