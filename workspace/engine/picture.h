#pragma once

#include <QByteArray>
#include <QImage>
#include <QSizeF>
#include <QString>

#include <optional>

namespace engine {

// A decoded picture and what it is, decided once when it is decoded: transparency, the tiled pass, the
// grey result and every writer read it here instead of asking the pixels again. A result is described
// by its source's record: it keeps the depth, the channels, the profile and the resolution.
struct Picture {
    enum class Channels { Grey, GreyAlpha, Colour, ColourAlpha };

    QImage image; // with the orientation applied
    // Bits a channel from the decoder to the file: 16 for more than 8 (16-bit PNG and TIFF, half and
    // full float), never squeezed through an 8-bit canvas; 8 otherwise.
    int depth = 8;
    Channels channels = Channels::Colour;
    // The EXIF orientation the file stated, 1 to 8; already applied to the pixels, so results say 1.
    int orientation = 1;
    // The colour profile, empty when there is none or Qt cannot read it (CMYK).
    QByteArray iccProfile;
    // Dots per inch across and down as the file states them, turned with the picture; none when it
    // states none (or only an aspect ratio).
    std::optional<QSizeF> dpi;
    // The file whose EXIF, XMP and IPTC results carry; empty for a picture that came from no file.
    QString metadataSource;

    bool isDeep() const { return depth == 16; }
    bool isGrey() const { return channels == Channels::Grey || channels == Channels::GreyAlpha; }
    bool hasAlpha() const { return channels == Channels::GreyAlpha || channels == Channels::ColourAlpha; }
    // Values a pixel has in a file: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA.
    int channelCount() const { return int(channels) + 1; }

    // A decoded image described: deep by its format; grey when `storedGrey` (a file stored as grey that
    // decoded to colour, as grey with alpha does) or its format is grey; with alpha when at least one
    // pixel is not fully opaque (a scan that stops at the first such pixel).
    static Picture decoded(QImage image, bool storedGrey = false);
    // An image described as its format holds it (alpha when the format has it, opaque or not), for
    // callers that write an image they made themselves.
    static Picture asStored(QImage image, bool grey = false);
};

} // namespace engine
