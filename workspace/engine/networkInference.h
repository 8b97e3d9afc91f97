#pragma once

#include "workspace/engine/tiledPass.h"

#include <QByteArray>
#include <QImage>

#include <atomic>

namespace ncnn {
class Net;
}

namespace engine {

// The blobs an inference feeds and reads: a network's own names come from its description.
struct NetworkBlobs {
    QByteArray input = QByteArrayLiteral("data");
    QByteArray output = QByteArrayLiteral("output");
};

// One inference: 8-bit RGB in, enlarged 8-bit RGB out, through the input and output blobs with
// values scaled to 0..1 on the way in and back to 0..255 on the way out; a 16-bit tile (a 64-bit
// format) likewise gives Format_RGBX64, through 0..65535. Reads the network only, so
// it may run on a worker thread while nothing reloads the network. networkNs, when given, is
// increased by the time spent inside the network itself (for the benchmark). Once *stop reads true
// the runtime gives up between two layers and the result is Cancelled. *layersDone, when given, is
// called after every layer with (layers done, layers of the inference).
TileInference inferImage(const ncnn::Net &net, const QImage &image, qint64 *networkNs = nullptr,
                         const NetworkBlobs &blobs = {}, const std::atomic<bool> *stop = nullptr,
                         const std::function<void(int, int)> *layersDone = nullptr);

} // namespace engine
