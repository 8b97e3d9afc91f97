#include "app/windowgeometry.h"

#include <QSettings>

namespace WindowGeometry {
namespace {

// One axis of the rule: position first, then the extent, which may push the position back.
void fitAxis(int &pos, int &extent, int screenExtent, int minimumExtent)
{
    if (pos < 0 || pos > screenExtent)
        pos = fallbackCoordinate;
    if (extent < minimumExtent)
        extent = minimumExtent; // may reach past the screen edge; the next start enlarges again
    else if (extent > screenExtent)
        extent = screenExtent;
    else if (pos + extent > screenExtent)
        pos = screenExtent - extent;
}

int readInt(const QSettings &settings, const QString &key)
{
    return settings.value(key).toInt();
}

} // namespace

QRect restore(const StoredGeometry &stored, const QSize &screen)
{
    int x = stored.posX;
    int w = stored.width;
    int y = stored.posY;
    int h = stored.height;
    fitAxis(x, w, screen.width(), minimumWidth);
    fitAxis(y, h, screen.height(), minimumHeight);
    return QRect(x, y, w, h);
}

StoredGeometry read(const QSettings &settings)
{
    StoredGeometry stored;
    stored.posX = readInt(settings, QStringLiteral("posX"));
    stored.posY = readInt(settings, QStringLiteral("posY"));
    stored.width = readInt(settings, QStringLiteral("width"));
    stored.height = readInt(settings, QStringLiteral("height"));
    return stored;
}

void write(QSettings &settings, const QRect &geometry)
{
    settings.setValue(QStringLiteral("posX"), geometry.x());
    settings.setValue(QStringLiteral("posY"), geometry.y());
    settings.setValue(QStringLiteral("width"), geometry.width());
    settings.setValue(QStringLiteral("height"), geometry.height());
}

} // namespace WindowGeometry
