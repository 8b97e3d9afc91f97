#pragma once

// What one extract runs, worked out in one place for every backend: the layers the wanted blob needs from
// the blobs already known, and how many of those layers read each blob, so that light mode frees a blob
// after its last reader. A schedule depends only on which blobs are known and which one is wanted, so a
// plan used for many tiles keeps it (ScheduleCache).
#include "graph.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ncnn {

struct Schedule {
    // Per layer: whether the wanted blob needs it. Layers run in file order.
    std::vector<char> needed;
    // Per blob: how many needed layers read it.
    std::vector<int> readers;
    // Known blobs that needed layers read, in blob order.
    std::vector<int> inputs;
};

// Which entries of blobs are set.
std::vector<char> known_blobs(const std::vector<Mat> &blobs);

// 0, or ERROR_BAD_INPUT with err naming an input blob the wanted one needs that was not set.
int make_schedule(const Graph &graph, const std::vector<char> &known, int wanted, Schedule &out,
                  std::string &err);

// Schedules by (known blobs, wanted blob), each made once: the extracts of one tiled picture share them.
// Thread-safe; a schedule stays valid as long as the cache.
class ScheduleCache {
public:
    explicit ScheduleCache(const Graph &graph) : graph_(graph) {}
    // Null with err set (ERROR_BAD_INPUT in code) when an input is missing.
    std::shared_ptr<const Schedule> get(const std::vector<char> &known, int wanted, int &code,
                                        std::string &err);

private:
    const Graph &graph_;
    std::mutex mutex_;
    std::map<std::pair<std::vector<char>, int>, std::shared_ptr<const Schedule>> schedules_;
};

} // namespace ncnn
