#pragma once

#include <QRect>
#include <QSize>

class QSettings;

// The main window's client-area geometry as kept in the settings store ("posX", "posY", "width",
// "height"). A missing or non-numeric value reads as 0.
struct StoredGeometry {
    int posX = 0;
    int posY = 0;
    int width = 0;
    int height = 0;
};

namespace WindowGeometry {

inline constexpr int minimumWidth = 986;
inline constexpr int minimumHeight = 513;
// Where an edge lands when the stored one lies outside the screen.
inline constexpr int fallbackCoordinate = 100;

// The geometry a starting window takes: at least 986 x 513, kept on a screen of `screen` size where
// it fits. The comparisons are strict: a position equal to the screen edge is kept.
QRect restore(const StoredGeometry &stored, const QSize &screen);

StoredGeometry read(const QSettings &settings);
void write(QSettings &settings, const QRect &geometry);

} // namespace WindowGeometry
