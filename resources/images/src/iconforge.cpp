// Draws the program's compiled-in images and the Windows icon file. The PNGs it writes are committed
// next to the resource file; run it again after changing a glyph:
//   iconforge <resources/images folder> <app folder for brivelle.ico> [<hicolor theme folder>]
// The third folder receives the Linux menu icon at the sizes desktops ask the icon theme for
// (packaging/icons/hicolor), each drawn at its own size rather than scaled from one bitmap.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QList>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace {

// The three families of the 24-pixel glyphs: light themes, dark themes, disabled buttons.
const QColor standardInk(0x2d, 0x2f, 0x33);
const QColor whiteInk(0xff, 0xff, 0xff);
const QColor grayInk(0x8c, 0x8c, 0x8c);

using Glyph = std::function<void(QPainter &, const QColor &)>;

QPen strokePen(const QColor &ink, qreal width = 2.0)
{
    return QPen(ink, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QImage canvas(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// Draws a glyph designed on a grid of `grid` units into a square of `size` pixels.
QImage render(int size, qreal grid, const QColor &ink, const Glyph &glyph)
{
    QImage image = canvas(size);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / grid, size / grid);
    glyph(painter, ink);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

void arrowHead(QPainter &painter, const QPointF &tip, qreal angleDegrees, qreal length, const QColor &ink)
{
    // A filled triangle pointing along angleDegrees (screen coordinates, y down).
    const qreal a = qDegreesToRadians(angleDegrees);
    const QPointF dir(qCos(a), qSin(a));
    const QPointF normal(-dir.y(), dir.x());
    const QPointF base = tip - dir * length;
    QPainterPath head;
    head.moveTo(tip);
    head.lineTo(base + normal * (length * 0.62));
    head.lineTo(base - normal * (length * 0.62));
    head.closeSubpath();
    painter.fillPath(head, ink);
}

void addGlyph(QPainter &p, const QColor &ink)
{
    // A photo frame with a plus: "add images".
    p.setPen(strokePen(ink));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3, 5, 14, 12), 2.5, 2.5);
    p.drawLine(QPointF(5.5, 14.5), QPointF(9, 10.5));
    p.drawLine(QPointF(9, 10.5), QPointF(13, 14.5));
    // The plus sits in a gap cut out of the frame, so the two strokes do not merge at 24 pixels.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawRect(QRectF(14, 12, 10, 10));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setPen(strokePen(ink));
    p.drawLine(QPointF(19, 13), QPointF(19, 21));
    p.drawLine(QPointF(15, 17), QPointF(23, 17));
}

void deleteGlyph(QPainter &p, const QColor &ink)
{
    p.setPen(strokePen(ink));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(4, 6.5), QPointF(20, 6.5));
    QPainterPath handle;
    handle.moveTo(9, 6.5);
    handle.lineTo(9.5, 4);
    handle.lineTo(14.5, 4);
    handle.lineTo(15, 6.5);
    p.drawPath(handle);
    QPainterPath body;
    body.moveTo(6, 6.5);
    body.lineTo(7, 18.5);
    body.quadTo(7.2, 20.5, 9.2, 20.5);
    body.lineTo(14.8, 20.5);
    body.quadTo(16.8, 20.5, 17, 18.5);
    body.lineTo(18, 6.5);
    p.drawPath(body);
    p.drawLine(QPointF(10, 10.5), QPointF(10, 16.5));
    p.drawLine(QPointF(14, 10.5), QPointF(14, 16.5));
}

void clearListGlyph(QPainter &p, const QColor &ink)
{
    // A list whose rows are struck out.
    p.setPen(strokePen(ink));
    p.drawLine(QPointF(3.5, 6), QPointF(16, 6));
    p.drawLine(QPointF(3.5, 11), QPointF(12, 11));
    p.drawLine(QPointF(3.5, 16), QPointF(9, 16));
    p.drawLine(QPointF(14, 13.5), QPointF(20.5, 20));
    p.drawLine(QPointF(20.5, 13.5), QPointF(14, 20));
}

void upscaleGlyph(QPainter &p, const QColor &ink)
{
    // A small picture growing towards a larger frame.
    p.setPen(strokePen(ink));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3, 13, 8, 8), 1.8, 1.8);
    QPainterPath corner;
    corner.moveTo(3, 9);
    corner.lineTo(3, 5);
    corner.quadTo(3, 3, 5, 3);
    corner.lineTo(19, 3);
    corner.quadTo(21, 3, 21, 5);
    corner.lineTo(21, 19);
    corner.quadTo(21, 21, 19, 21);
    corner.lineTo(15, 21);
    p.drawPath(corner);
    p.drawLine(QPointF(10, 14), QPointF(15.2, 8.8));
    arrowHead(p, QPointF(17.2, 6.8), -45, 5, ink);
}

void folderGlyph(QPainter &p, const QColor &ink)
{
    p.setPen(strokePen(ink));
    p.setBrush(Qt::NoBrush);
    QPainterPath folder;
    folder.moveTo(3, 17.5);
    folder.lineTo(3, 6.5);
    folder.quadTo(3, 5, 4.5, 5);
    folder.lineTo(9, 5);
    folder.lineTo(11, 7.5);
    folder.lineTo(19.5, 7.5);
    folder.quadTo(21, 7.5, 21, 9);
    folder.lineTo(21, 17.5);
    folder.quadTo(21, 19, 19.5, 19);
    folder.lineTo(4.5, 19);
    folder.quadTo(3, 19, 3, 17.5);
    folder.closeSubpath();
    p.drawPath(folder);
    p.drawLine(QPointF(3, 10.5), QPointF(21, 10.5));
}

void webGlyph(QPainter &p, const QColor &ink)
{
    p.setPen(strokePen(ink));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 12), 9, 9);
    p.drawEllipse(QPointF(12, 12), 3.8, 9);
    p.setPen(strokePen(ink, 1.6));
    p.drawLine(QPointF(3.5, 12), QPointF(20.5, 12));
    p.drawLine(QPointF(5, 7.5), QPointF(19, 7.5));
    p.drawLine(QPointF(5, 16.5), QPointF(19, 16.5));
}

void aboutGlyph(QPainter &p, const QColor &ink)
{
    p.setPen(strokePen(ink));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 12), 9, 9);
    p.setPen(strokePen(ink, 2.4));
    p.drawLine(QPointF(12, 11), QPointF(12, 16.5));
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QPointF(12, 7.6), 1.4, 1.4);
}

void refreshArrows(QPainter &p, const QColor &ink, const QPointF &centre, qreal radius, qreal width)
{
    // Two arcs chasing each other, each ending in an arrow head.
    p.setPen(strokePen(ink, width));
    p.setBrush(Qt::NoBrush);
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    const qreal head = width * 2.3;
    for (int half = 0; half < 2; ++half) {
        const qreal start = 200 + 180 * half; // Qt angles: counter-clockwise from three o'clock
        const qreal sweep = -130;
        QPainterPath arc;
        arc.arcMoveTo(box, start);
        arc.arcTo(box, start, sweep);
        p.drawPath(arc);
        const qreal endAngle = qDegreesToRadians(start + sweep);
        const QPointF end(centre.x() + radius * qCos(endAngle), centre.y() - radius * qSin(endAngle));
        // Clockwise travel on screen: the tangent points 90 degrees on from the radius.
        const qreal screenAngle = -(start + sweep) + 90;
        const QPointF dir(qCos(qDegreesToRadians(screenAngle)), qSin(qDegreesToRadians(screenAngle)));
        arrowHead(p, end + dir * head * 0.55, screenAngle, head, ink);
    }
}

void updateGlyph(QPainter &p, const QColor &ink)
{
    refreshArrows(p, ink, QPointF(12, 12), 7.5, 2.0);
}

void dropLogoGlyph(QPainter &p, const QColor &ink)
{
    // 128 grid: a picture with a plus badge, the invitation to drop or pick images.
    p.setPen(strokePen(ink, 6));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(12, 22, 90, 74), 12, 12);
    QPainterPath hills;
    hills.moveTo(26, 84);
    hills.lineTo(48, 58);
    hills.lineTo(62, 72);
    hills.lineTo(72, 63);
    hills.lineTo(88, 82);
    p.drawPath(hills);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawEllipse(QPointF(76, 44), 8, 8);
    // The badge is cut out of the frame so the two read apart.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawEllipse(QPointF(100, 96), 25, 25);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.drawEllipse(QPointF(100, 96), 20, 20);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(strokePen(Qt::black, 5));
    p.drawLine(QPointF(100, 86), QPointF(100, 106));
    p.drawLine(QPointF(90, 96), QPointF(110, 96));
}

QLinearGradient brandGradient(const QPointF &from, const QPointF &to)
{
    QLinearGradient gradient(from, to);
    gradient.setColorAt(0, QColor(0x7b, 0x5c, 0xff));
    gradient.setColorAt(1, QColor(0x1f, 0xb6, 0xff));
    return gradient;
}

void appLogoGlyph(QPainter &p, const QColor &)
{
    // 128 grid: the brand tile with the upscale mark and a spark for the network.
    p.setPen(Qt::NoPen);
    p.setBrush(brandGradient(QPointF(8, 8), QPointF(120, 120)));
    p.drawRoundedRect(QRectF(6, 6, 116, 116), 28, 28);
    const QColor ink = Qt::white;
    p.setPen(strokePen(ink, 8));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(28, 66, 34, 34), 7, 7);
    QPainterPath corner;
    corner.moveTo(28, 50);
    corner.lineTo(28, 36);
    corner.quadTo(28, 28, 36, 28);
    corner.lineTo(92, 28);
    corner.quadTo(100, 28, 100, 36);
    corner.lineTo(100, 92);
    corner.quadTo(100, 100, 92, 100);
    corner.lineTo(78, 100);
    p.drawPath(corner);
    p.drawLine(QPointF(58, 70), QPointF(74, 54));
    arrowHead(p, QPointF(84, 44), -45, 20, ink);
}

void updatePictureGlyph(QPainter &p, const QColor &)
{
    p.setPen(Qt::NoPen);
    p.setBrush(brandGradient(QPointF(10, 10), QPointF(118, 118)));
    p.drawEllipse(QPointF(64, 64), 58, 58);
    refreshArrows(p, Qt::white, QPointF(64, 64), 32, 9);
}

bool save(const QImage &image, const QString &path)
{
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// An .ico of PNG entries (readable by every Windows since Vista), largest last.
bool writeIco(const QString &path, const QList<QImage> &images)
{
    QList<QByteArray> blobs;
    for (const QImage &image : images) {
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        blobs.append(png);
    }
    QByteArray out;
    auto put16 = [&out](quint16 v) {
        out.append(char(v & 0xff));
        out.append(char(v >> 8));
    };
    auto put32 = [&](quint32 v) {
        put16(quint16(v & 0xffff));
        put16(quint16(v >> 16));
    };
    put16(0);
    put16(1);
    put16(quint16(images.size()));
    quint32 offset = 6 + 16 * quint32(images.size());
    for (int i = 0; i < images.size(); ++i) {
        const int side = images.at(i).width();
        out.append(char(side >= 256 ? 0 : side));
        out.append(char(side >= 256 ? 0 : side));
        out.append(char(0));
        out.append(char(0));
        put16(1);
        put16(32);
        put32(quint32(blobs.at(i).size()));
        put32(offset);
        offset += quint32(blobs.at(i).size());
    }
    for (const QByteArray &blob : blobs)
        out.append(blob);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(out) != out.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s <images folder> <app folder> [<hicolor folder>]\n", argv[0]);
        return 2;
    }
    const QDir images(QString::fromLocal8Bit(argv[1]));
    const QDir app(QString::fromLocal8Bit(argv[2]));

    struct Family {
        const char *suffix;
        QColor ink;
    };
    const Family standard{"", standardInk};
    const Family white{"White", whiteInk};
    const Family gray{"Gray", grayInk};

    struct Small {
        const char *name;
        Glyph glyph;
        QList<Family> families;
    };
    const QList<Small> smalls = {
        {"About", aboutGlyph, {standard, white}},
        {"Update", updateGlyph, {standard, white}},
        {"Web", webGlyph, {standard, white}},
        {"_Add", addGlyph, {standard, white}},
        {"_Convert", upscaleGlyph, {standard, white, gray}},
        {"_Delete", deleteGlyph, {standard, white, gray}},
        {"_shortcut", clearListGlyph, {standard, white, gray}},
        {"_Folder", folderGlyph, {standard, white}},
    };

    // Each button image also at twice its size as "<name>@2x.png", drawn at that size: QIcon takes
    // it on a screen with a device pixel ratio of 2 instead of scaling the small one up.
    bool ok = true;
    for (const Small &small : smalls) {
        for (const Family &family : small.families) {
            const QString name =
                QString::fromLatin1(small.name) + QString::fromLatin1(family.suffix) + QStringLiteral("24");
            ok &=
                save(render(24, 24, family.ink, small.glyph), images.filePath(name + QStringLiteral(".png")));
            ok &= save(render(48, 24, family.ink, small.glyph),
                       images.filePath(name + QStringLiteral("@2x.png")));
        }
    }
    for (const Family &family : {standard, white}) {
        const QString name = QStringLiteral("_DropLogo") + QString::fromLatin1(family.suffix);
        ok &=
            save(render(128, 128, family.ink, dropLogoGlyph), images.filePath(name + QStringLiteral(".png")));
        ok &= save(render(256, 128, family.ink, dropLogoGlyph),
                   images.filePath(name + QStringLiteral("@2x.png")));
    }
    ok &= save(render(128, 128, QColor(), appLogoGlyph), images.filePath(QStringLiteral("Logo128.png")));
    ok &= save(render(128, 128, QColor(), updatePictureGlyph),
               images.filePath(QStringLiteral("Update128.png")));

    QList<QImage> iconSizes;
    for (int side : {16, 24, 32, 48, 64, 128, 256})
        iconSizes.append(render(side, 128, QColor(), appLogoGlyph));
    ok &= writeIco(app.filePath(QStringLiteral("brivelle.ico")), iconSizes);

    if (argc == 4) {
        const QDir hicolor(QString::fromLocal8Bit(argv[3]));
        for (int side : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QString folder = QStringLiteral("%1x%1/apps").arg(side);
            ok &=
                hicolor.mkpath(folder) && save(render(side, 128, QColor(), appLogoGlyph),
                                               hicolor.filePath(folder + QStringLiteral("/brivelle-ai.png")));
        }
    }
    return ok ? 0 : 1;
}
