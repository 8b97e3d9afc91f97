#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace engine {

// Context around every tile that the network sees and that is cut away again when tiles are joined.
constexpr int kTileMargin = 48;

// One tile of the pass, in processing order.
struct Tile {
    int number = 0; // from 1
    int x = 0;      // origin in source pixels
    int y = 0;
    int width = 0;  // the tile's own width inside the picture; 0 for a tile wholly in the extension
    int height = 0; // the tile's own height; the last row may be lower than the edge
    // What is cut out of the picture and fed to the network: never beyond the picture's own edges, so
    // the network sees exactly what it would see of the whole picture.
    QRect copyRect;
    // The copy's size rounded up to the network's input multiple by repeating its last column and row.
    QSize inputSize;
    QRect cropRect; // the part of the network's output that belongs to this tile
    QPoint target;  // where that part goes in the result

    // Tiles of the extension produce nothing and are not inferred, but still count for progress.
    bool inPicture() const { return width > 0; }
};

// The geometry of one tiled pass: a grid of edge-sized tiles over the source widened to a multiple of
// the edge that is strictly greater than its width (the grid and the progress figures follow that
// width; the network never sees the extension), and the enlarged result.
struct TilePlan {
    QSize source;
    int tileSize = 0;
    int scale = 0;
    int inputMultiple = 1;
    int extendedWidth = 0;
    int progressMaximum = 0;
    int columns = 0;
    int rows = 0;

    bool isValid() const { return columns > 0 && rows > 0; }
    int tileCount() const { return columns * rows; }
    // Tiles are made on demand: a huge image at a small edge has millions of them.
    Tile tile(int index) const;
    QSize resultSize() const { return source * scale; }
};

// An empty plan when the size is empty, the edge is not a positive multiple of 16 or the scale is not
// positive.
// inputMultiple 2 is for networks that start by folding 2x2 blocks into channels (the x2 model): they
// cannot take an odd width or height, so a copy that ends at an odd edge of the picture is widened or
// heightened by repeating its last column or row, and what that adds is dropped from the output.
TilePlan planTiles(QSize source, int tileSize, int scale, int inputMultiple = 1);

} // namespace engine
