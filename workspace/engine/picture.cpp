#include "workspace/engine/picture.h"

#include "workspace/engine/pictureDepth.h"
#include "workspace/engine/transparency.h"

#include <QColorSpace>

namespace engine {

namespace {

Picture described(QImage image, bool grey, bool alpha)
{
    Picture picture;
    picture.depth = isDeep(image) ? 16 : 8;
    grey =
        grey || image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    picture.channels = grey ? (alpha ? Picture::Channels::GreyAlpha : Picture::Channels::Grey)
                            : (alpha ? Picture::Channels::ColourAlpha : Picture::Channels::Colour);
    if (image.colorSpace().isValid())
        picture.iccProfile = image.colorSpace().iccProfile();
    picture.image = std::move(image);
    return picture;
}

} // namespace

Picture Picture::decoded(QImage image, bool storedGrey)
{
    const bool alpha = hasTransparency(image);
    return described(std::move(image), storedGrey, alpha);
}

Picture Picture::asStored(QImage image, bool grey)
{
    const bool alpha = image.hasAlphaChannel();
    return described(std::move(image), grey, alpha);
}

} // namespace engine
