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

} // namespace engine
