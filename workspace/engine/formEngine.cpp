#include "workspace/PelmoraForm.h"

#include <QImage>

bool PelmoraForm::setupNetwork()
{
    return false;
}
void PelmoraForm::bindVulkanDevice() {}
QImage PelmoraForm::runNetwork(const QImage &)
{
    return {};
}
void PelmoraForm::computeTileSize() {}
QImage PelmoraForm::upscaleImageTiling(const QImage &)
{
    return {};
}
QImage PelmoraForm::upscaleImage(const QImage &)
{
    return {};
}
QImage PelmoraForm::upscaleImageWithAlpha(const QImage &)
{
    return {};
}
