#pragma once

#include <QString>

// An existing regular file whose last suffix names an image format the workspace lists.
bool isSupportedImage(const QString &path);

// The drop page's looser test: the same, and SVG as well (the list itself then skips SVG files).
bool acceptsDraggedImage(const QString &path);
