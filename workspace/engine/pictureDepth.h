#pragma once

#include "workspace/engine/picture.h"

#include <QImage>

namespace engine {

// More than 8 bits a channel (16-bit PNG and TIFF, half and full float): asked once, when a picture is
// decoded (Picture::decoded); later stages read Picture::depth.
bool isDeep(const QImage &image);

// The format the network's colour pass works in at a picture's depth: Format_RGBX64 at 16 bits,
// Format_RGB888 at 8.
QImage::Format colourFormatFor(int depth);

// The luma of an enlarged colour picture, with the weights of the upstream inference's grey
// conversion (0.299, 0.587, 0.114), for a grey source whose result must not carry the network's
// colour noise. Format_RGB888 gives Format_Grayscale8 and Format_RGBX64 Format_Grayscale16; a picture
// with alpha (Format_RGBA8888, Format_RGBA64) keeps its format and alpha, with the luma in all three
// colour channels. Null for other formats or without memory.
QImage lumaOf(const QImage &colour);

// The samples a file stores of a picture, and the Qt image whose rows hold them, by the picture's
// depth and channels. channels: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA.
struct SampleLayout {
    QImage pixels; // null without memory
    int bitDepth = 8;
    int channels = 3;        // per pixel in the file
    int stride = 3;          // values per pixel in `pixels`
    bool directRows = false; // `pixels` rows are the file's 8-bit rows as they are

    size_t rowBytes() const { return size_t(pixels.width()) * size_t(channels) * size_t(bitDepth / 8); }
};
SampleLayout sampleLayout(const Picture &picture);

// One file row of samples from row y, into rowBytes() bytes at `to`; 16-bit values big-endian or in
// the machine's order.
void fillSamples(const SampleLayout &layout, int y, uchar *to, bool bigEndian);

// The picture's ICC profile when it describes a file of these channels (a grey profile for 1 or 2, an
// RGB one for 3 or 4); empty otherwise.
QByteArray fileProfile(const Picture &picture, int channels);

} // namespace engine
