#pragma once

#include "imageformats/imageFormats.h"

#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QSize>

#include <memory>

struct heif_context;
struct heif_image_handle;

namespace imageformats {

// HEIF, HEIC and AVIF through libheif. The primary picture is read; the container's crop, rotation
// and mirroring come applied, and the EXIF orientation is reported as the transformation only where
// the container states none of its own (files of encoders that kept the camera's tag alone). Samples
// of more than 8 bits come as 16-bit formats, grey as grey, the ICC profile as the colour space.
class HeifHandler : public QImageIOHandler {
public:
    HeifHandler();
    ~HeifHandler() override;

    bool canRead() const override;
    bool read(QImage *image) override;
    QVariant option(ImageOption option) const override;
    bool supportsOption(ImageOption option) const override;
    int imageCount() const override;

    static bool canRead(QIODevice *device);

    // The EXIF and XMP blocks of the primary picture.
    EmbeddedMetadata metadata() const;

private:
    // Reads the file's structure (not its pixels) once; false when it is no HEIF libheif takes.
    bool parse() const;

    struct Parsed;
    mutable std::unique_ptr<Parsed> parsed_;
    mutable bool parseTried_ = false;
};

class HeifPlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "heif.json")

public:
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override;
    QImageIOHandler *create(QIODevice *device, const QByteArray &format = QByteArray()) const override;
};

} // namespace imageformats
