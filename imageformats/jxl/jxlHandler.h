#pragma once

#include <QImageIOHandler>
#include <QImageIOPlugin>

#include <jxl/codestream_header.h>

namespace imageformats {

// JPEG XL through libjxl, bare codestreams and the boxed container alike. The first frame is read,
// with the codestream's orientation applied (the transformation reported is none). Grey stays grey,
// more than 8 bits come as 16-bit formats, and the profile of the pixels given is the colour space.
class JxlHandler : public QImageIOHandler {
public:
    bool canRead() const override;
    bool read(QImage *image) override;
    QVariant option(ImageOption option) const override;
    bool supportsOption(ImageOption option) const override;
    int imageCount() const override;

    static bool canRead(QIODevice *device);

private:
    // Reads the header once; false when it is no JPEG XL libjxl takes.
    bool readInfo() const;

    mutable QByteArray data_;
    mutable JxlBasicInfo info_{};
    mutable bool infoTried_ = false;
    mutable bool infoRead_ = false;
};

class JxlPlugin : public QImageIOPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "jxl.json")

public:
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override;
    QImageIOHandler *create(QIODevice *device, const QByteArray &format = QByteArray()) const override;
};

} // namespace imageformats
