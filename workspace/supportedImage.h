#pragma once

#include <QString>

#include <optional>

class QMimeData;

// An existing regular file whose last suffix names an image format the workspace lists.
bool isSupportedImage(const QString &path);

// The drop page's looser test: the same, and SVG as well (the list itself then skips SVG files).
bool acceptsDraggedImage(const QString &path);

// The local path of a drag's first URL (empty for a URL that is not a local file); nothing when the
// drag carries no URLs. Both drop targets decide on the first item alone.
std::optional<QString> firstDraggedPath(const QMimeData *mime);
