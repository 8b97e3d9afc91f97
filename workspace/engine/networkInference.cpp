#include "workspace/engine/networkInference.h"

#include <QElapsedTimer>

#include <ncnn/errors.h>
#include <ncnn/mat.h>
#include <ncnn/net.h>

namespace engine {

namespace {

bool outOfMemory(int rc)
{
    return rc == ncnn::ERROR_OUT_OF_MEMORY;
}

} // namespace

TileInference inferImage(const ncnn::Net &net, const QImage &image, qint64 *networkNs,
                         const NetworkBlobs &blobs, const std::atomic<bool> *stop)
{
    using Status = TileInference::Status;
    if (image.isNull())
        return {{}, Status::Failed, QStringLiteral("null tile")};
    const QImage rgb =
        image.format() == QImage::Format_RGB888 ? image : image.convertToFormat(QImage::Format_RGB888);

    // The stride keeps rows right even for a width that is not a multiple of 4.
    ncnn::Mat in = ncnn::Mat::from_pixels(rgb.constBits(), ncnn::Mat::PIXEL_RGB, rgb.width(), rgb.height(),
                                          int(rgb.bytesPerLine()));
    if (in.empty())
        return {{}, Status::OutOfMemory, QStringLiteral("no memory for the input of the tile")};
    const float norm[3] = {1 / 255.f, 1 / 255.f, 1 / 255.f};
    in.substract_mean_normalize(nullptr, norm);

    QElapsedTimer clock;
    clock.start();
    ncnn::Extractor ex = net.create_extractor();
    ex.set_light_mode(true);
    ex.set_stop_request(stop);
    ex.input(blobs.input.constData(), in);
    ncnn::Mat out;
    const int rc = ex.extract(blobs.output.constData(), out);
    if (networkNs)
        *networkNs += clock.nsecsElapsed();
    if (rc == ncnn::ERROR_CANCELLED)
        return {{}, Status::Cancelled, QStringLiteral("stopped")};
    if (rc != 0 || out.empty()) {
        const QString why = QString::fromStdString(ex.last_error());
        return {{},
                outOfMemory(rc) ? Status::OutOfMemory : Status::Failed,
                why.isEmpty() ? QStringLiteral("the network gave no output") : why};
    }
    if (out.c != 3 || out.elempack != 1 || out.elemsize != 4)
        return {{},
                Status::Failed,
                QStringLiteral("unexpected output: %1 channels, pack %2, %3-byte elements")
                    .arg(out.c)
                    .arg(out.elempack)
                    .arg(out.elemsize)};

    for (int q = 0; q < out.c; ++q) {
        float *values = out.channel(q);
        const size_t count = size_t(out.w) * size_t(out.h);
        for (size_t i = 0; i < count; ++i)
            values[i] *= 255.f;
    }
    QImage result(out.w, out.h, QImage::Format_RGB888);
    if (result.isNull())
        return {{}, Status::OutOfMemory, QStringLiteral("no memory for the output of the tile")};
    out.to_pixels(result.bits(), ncnn::Mat::PIXEL_RGB, int(result.bytesPerLine()));
    return TileInference::ok(std::move(result));
}

} // namespace engine
