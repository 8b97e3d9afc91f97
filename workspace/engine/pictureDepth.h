#pragma once

#include <QImage>

namespace engine {

// More than 8 bits a channel (16-bit PNG and TIFF, half and full float): such pictures are carried at
// 16 bits from the decoder to the file, never squeezed through an 8-bit canvas.
bool isDeep(const QImage &image);

// The format the network's colour pass works in: Format_RGBX64 for a deep picture, Format_RGB888
// otherwise.
QImage::Format colourFormatFor(const QImage &image);

// The luma of an enlarged colour picture, with the weights of the upstream inference's grey
// conversion (0.299, 0.587, 0.114), for a grey source whose result must not carry the network's
// colour noise. Format_RGB888 gives Format_Grayscale8 and Format_RGBX64 Format_Grayscale16; a picture
// with alpha (Format_RGBA8888, Format_RGBA64) keeps its format and alpha, with the luma in all three
// colour channels. Null for other formats or without memory.
QImage lumaOf(const QImage &colour);

// The samples a file stores of a picture, and the Qt image whose rows hold them: 16 bits a channel
// for a deep picture, 8 otherwise; grey when `grey` or the image's format is grey; alpha when the
// image has one. channels: 1 grey, 2 grey and alpha, 3 RGB, 4 RGBA.
struct SampleLayout {
    QImage pixels; // null without memory
    int bitDepth = 8;
    int channels = 3;        // per pixel in the file
    int stride = 3;          // values per pixel in `pixels`
    bool directRows = false; // `pixels` rows are the file's 8-bit rows as they are

    size_t rowBytes() const { return size_t(pixels.width()) * size_t(channels) * size_t(bitDepth / 8); }
};
SampleLayout sampleLayout(const QImage &image, bool grey);

// One file row of samples from row y, into rowBytes() bytes at `to`; 16-bit values big-endian or in
// the machine's order.
void fillSamples(const SampleLayout &layout, int y, uchar *to, bool bigEndian);

// The image's colour space as an ICC profile when it describes a file of these channels (a grey
// profile for 1 or 2, an RGB one for 3 or 4); empty otherwise.
QByteArray fileProfile(const QImage &image, int channels);

} // namespace engine
