#include "workspace/engine/imageInput.h"

#include <QImageReader>

namespace engine {

LoadedImage loadInputImage(const QString &path)
{
    LoadedImage loaded;
    QImageReader reader(path);
    reader.setAutoTransform(true);
    loaded.image = reader.read();
    if (loaded.image.isNull())
        loaded.error = reader.errorString();
    return loaded;
}

} // namespace engine
