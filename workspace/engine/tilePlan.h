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
    int height = 0; // the tile's own height; the last row may be lower than the edge
    QRect copyRect; // what is cut out of the extended image and fed to the network
    QRect cropRect; // the part of the network's output that belongs to this tile
    QPoint target;  // where that part goes on the canvas
};

// The geometry of one tiled pass: the source widened with extra columns to a multiple of the edge
// that is strictly greater than its width, a grid of edge-sized tiles over it, and the enlarged canvas.
struct TilePlan {
    QSize source;
    int tileSize = 0;
    int scale = 0;
    int extendedWidth = 0;
    int extendedHeight = 0; // the source's height, or one more row to reach the input multiple
    int progressMaximum = 0;
    int columns = 0;
    int rows = 0;

    bool isValid() const { return columns > 0 && rows > 0; }
    int tileCount() const { return columns * rows; }
    // Tiles are made on demand: a huge image at a small edge has millions of them.
    Tile tile(int index) const;
    QSize extendedSize() const { return {extendedWidth, extendedHeight}; }
    QSize canvasSize() const { return {scale * extendedWidth, scale * source.height()}; }
    QSize resultSize() const { return source * scale; }
};

// An empty plan when the size is empty, the edge is not a positive multiple of 16 (the tile copies must
// keep widths that are multiples of 4) or the scale is not positive.
// heightMultiple 2 is for networks that start by folding 2x2 blocks into channels (the x2 model): they
// cannot take an odd height, so an odd source gets one more row below it and every tile copy is even.
TilePlan planTiles(QSize source, int tileSize, int scale, int heightMultiple = 1);

} // namespace engine
