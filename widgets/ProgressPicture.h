#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <QWidget>

// The picture being enlarged, filling in tile by tile on the progress page. It keeps a copy no
// larger than the screen needs, never the full result: a 4x photo would take gigabytes.
// GUI thread only; tiles arrive there as queued calls from the batch.
class ProgressPicture : public QWidget {
    Q_OBJECT

public:
    explicit ProgressPicture(QWidget *parent = nullptr);

    // A new picture of this output size begins; what was shown goes.
    void start(const QSize &outputSize);
    // A finished tile of the result, placed at `where` in output pixels.
    void addTile(const QImage &tile, const QRect &where);
    void clear();

    // The canvas as it is, for tests.
    const QImage &canvas() const { return picture; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QImage picture;
    QSize output;
};
