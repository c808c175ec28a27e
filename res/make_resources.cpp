// Draws the window's icon and bitmaps and writes them into res/:
//   tarvok.ico                   icon 128: 32 x 32 and 16 x 16, 16 colours
//   tarvok_icon_32.png, _16.png  the same two images for Qt
//   tarvok.svg                   the scalable master of the icon
//   desktop/tarvok_N.png         N = 16 and 32: the icon's two images; 48, 64,
//                                128 and 256: renderings of the master
//   channel_menu.bmp             bitmap 135, 16 x 38, drop-down mark
//   channel_up.bmp               bitmap 136, 16 x 20, up arrow
//   channel_down.bmp             bitmap 137, 16 x 20, down arrow
// The icon is a loop-current meter: a dark grey housing with a grey
// readout showing "mA" in blue segments, and a red and a black jack.
//
// Build and run with: cmake --build --preset default --target regenerate-resources
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// The standard 16-colour palette; every colour of the icon is one of these,
// so the 16-colour images are exact.
const QRgb kPalette[16] = {
    qRgb(0, 0, 0),       qRgb(128, 0, 0),   qRgb(0, 128, 0),   qRgb(128, 128, 0),
    qRgb(0, 0, 128),     qRgb(128, 0, 128), qRgb(0, 128, 128), qRgb(192, 192, 192),
    qRgb(128, 128, 128), qRgb(255, 0, 0),   qRgb(0, 255, 0),   qRgb(255, 255, 0),
    qRgb(0, 0, 255),     qRgb(255, 0, 255), qRgb(0, 255, 255), qRgb(255, 255, 255),
};
const QColor kBlack(0, 0, 0);
const QColor kDarkGrey(128, 128, 128);
const QColor kGrey(192, 192, 192);
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 255, 0);

// A shape of the icon in a 32 x 32 design space.
struct Shape {
    enum Kind { kRoundRect, kPolygon, kCircle } kind;
    QPolygonF
        points;  // polygon; for the others: top-left and bottom-right (circle: centre, radius in x)
    double radius = 0;
    QColor fill;
    QColor stroke;  // invalid for none
    double strokeWidth = 1.0;
};

// A segment from a to b (horizontal or vertical) of thickness t with pointed
// ends, as in the window's segment readout.
QPolygonF Segment(QPointF a, QPointF b, double t) {
    const double h = t / 2;
    if (a.y() == b.y()) {
        return QPolygonF({{a.x(), a.y()},
                          {a.x() + h, a.y() - h},
                          {b.x() - h, b.y() - h},
                          {b.x(), b.y()},
                          {b.x() - h, b.y() + h},
                          {a.x() + h, a.y() + h}});
    }
    return QPolygonF({{a.x(), a.y()},
                      {a.x() + h, a.y() + h},
                      {b.x() + h, b.y() - h},
                      {b.x(), b.y()},
                      {b.x() - h, b.y() - h},
                      {a.x() - h, a.y() + h}});
}

std::vector<Shape> IconShapes() {
    std::vector<Shape> s;
    // Housing and readout window.
    s.push_back({Shape::kRoundRect, QPolygonF({{1.5, 2.5}, {30.5, 29.5}}), 3, kDarkGrey, kBlack});
    s.push_back({Shape::kRoundRect, QPolygonF({{4.5, 5.5}, {27.5, 19.5}}), 1, kGrey, kBlack});
    // "m": a top bar and three legs; "A": six segments of a seven-segment cell.
    const double t = 2.0;
    const double top = 8.0, mid = 12.5, bottom = 17.0;
    for (const QPolygonF& seg : {
             Segment({7.0, mid}, {15.0, mid}, t),
             Segment({7.0, mid}, {7.0, bottom}, t),
             Segment({11.0, mid}, {11.0, bottom}, t),
             Segment({15.0, mid}, {15.0, bottom}, t),
             Segment({18.0, top}, {25.0, top}, t),
             Segment({18.0, top}, {18.0, mid}, t),
             Segment({25.0, top}, {25.0, mid}, t),
             Segment({18.0, mid}, {25.0, mid}, t),
             Segment({18.0, mid}, {18.0, bottom}, t),
             Segment({25.0, mid}, {25.0, bottom}, t),
         }) {
        s.push_back({Shape::kPolygon, seg, 0, kBlue, QColor()});
    }
    // Jacks and the signal lamp.
    s.push_back({Shape::kCircle, QPolygonF({{9.5, 24.5}, {2.5, 0}}), 0, kRed, kBlack});
    s.push_back({Shape::kCircle, QPolygonF({{22.5, 24.5}, {2.5, 0}}), 0, kBlack, kBlack});
    s.push_back({Shape::kCircle, QPolygonF({{16.0, 24.5}, {1.0, 0}}), 0, kGreen, QColor()});
    return s;
}

QImage RenderIcon(int size, bool antialias) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, antialias);
    p.scale(size / 32.0, size / 32.0);
    for (const Shape& shape : IconShapes()) {
        p.setBrush(shape.fill);
        if (shape.stroke.isValid()) {
            QPen pen(shape.stroke, shape.strokeWidth);
            pen.setJoinStyle(Qt::MiterJoin);
            p.setPen(pen);
        } else {
            p.setPen(Qt::NoPen);
        }
        switch (shape.kind) {
            case Shape::kRoundRect:
                p.drawRoundedRect(QRectF(shape.points[0], shape.points[1]), shape.radius,
                                  shape.radius);
                break;
            case Shape::kPolygon:
                p.drawPolygon(shape.points);
                break;
            case Shape::kCircle:
                p.drawEllipse(shape.points[0], shape.points[1].x(), shape.points[1].x());
                break;
        }
    }
    return image;
}

// At 16 x 16 the shapes are too fine to be drawn from the master: the
// small image is drawn by hand, one character a pixel.
QImage SmallIcon() {
    static const char* const kRows[16] = {
        "................",  //
        ".KKKKKKKKKKKKKK.",  //
        "KDDDDDDDDDDDDDDK",  //
        "KDSSSSSSSSSSSSDK",  //
        "KDSSSSSSSSBBSSDK",  //
        "KDSSSSSSSBSSBSDK",  //
        "KDSBBBBBSBBBBSDK",  //
        "KDSBSBSBSBSSBSDK",  //
        "KDSBSBSBSBSSBSDK",  //
        "KDSSSSSSSSSSSSDK",  //
        "KDDDDDDDDDDDDDDK",  //
        "KDDRRDDDDDDKKDDK",  //
        "KDDRRDDGGDDKKDDK",  //
        "KDDDDDDDDDDDDDDK",  //
        ".KKKKKKKKKKKKKK.",  //
        "................",  //
    };
    QImage image(16, 16, QImage::Format_ARGB32);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            QColor c;
            switch (kRows[y][x]) {
                case 'K':
                    c = kBlack;
                    break;
                case 'D':
                    c = kDarkGrey;
                    break;
                case 'S':
                    c = kGrey;
                    break;
                case 'B':
                    c = kBlue;
                    break;
                case 'R':
                    c = kRed;
                    break;
                case 'G':
                    c = kGreen;
                    break;
                default:
                    c = Qt::transparent;
                    break;
            }
            image.setPixelColor(x, y, c);
        }
    }
    return image;
}

QString SvgColor(const QColor& c) { return c.name(); }

QByteArray IconSvg() {
    QString svg =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- Tarvok_Config icon: generated by res/make_resources.cpp -->\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"256\" height=\"256\" "
        "viewBox=\"0 0 32 32\">\n";
    for (const Shape& shape : IconShapes()) {
        QString paint = QString(" fill=\"%1\"").arg(SvgColor(shape.fill));
        if (shape.stroke.isValid()) {
            paint += QString(" stroke=\"%1\" stroke-width=\"%2\" stroke-linejoin=\"miter\"")
                         .arg(SvgColor(shape.stroke))
                         .arg(shape.strokeWidth);
        }
        switch (shape.kind) {
            case Shape::kRoundRect: {
                const QRectF r(shape.points[0], shape.points[1]);
                svg +=
                    QString("  <rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" rx=\"%5\"%6/>\n")
                        .arg(r.x())
                        .arg(r.y())
                        .arg(r.width())
                        .arg(r.height())
                        .arg(shape.radius)
                        .arg(paint);
                break;
            }
            case Shape::kPolygon: {
                QString pts;
                for (const QPointF& pt : shape.points) {
                    pts += QString("%1,%2 ").arg(pt.x()).arg(pt.y());
                }
                svg += QString("  <polygon points=\"%1\"%2/>\n").arg(pts.trimmed(), paint);
                break;
            }
            case Shape::kCircle:
                svg += QString("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\"%4/>\n")
                           .arg(shape.points[0].x())
                           .arg(shape.points[0].y())
                           .arg(shape.points[1].x())
                           .arg(paint);
                break;
        }
    }
    svg += "</svg>\n";
    return svg.toUtf8();
}

int PaletteIndex(QRgb c) {
    int best = 0;
    int bestDistance = 1 << 30;
    for (int i = 0; i < 16; ++i) {
        const int dr = qRed(c) - qRed(kPalette[i]);
        const int dg = qGreen(c) - qGreen(kPalette[i]);
        const int db = qBlue(c) - qBlue(kPalette[i]);
        const int d = dr * dr + dg * dg + db * db;
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

void Put16(QByteArray& b, uint16_t v) {
    b.append(static_cast<char>(v & 0xFF));
    b.append(static_cast<char>(v >> 8));
}
void Put32(QByteArray& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A 16-colour image with its transparency as an icon stores it: a bitmap
// header of double height, the palette, the colour rows and the mask rows,
// both bottom-up with rows padded to 4 bytes.
QByteArray IconImage16Colours(const QImage& image) {
    const int w = image.width();
    const int h = image.height();
    const int xorStride = ((w * 4 + 31) / 32) * 4;
    const int andStride = ((w + 31) / 32) * 4;
    QByteArray b;
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(w));
    Put32(b, static_cast<uint32_t>(h * 2));
    Put16(b, 1);
    Put16(b, 4);
    Put32(b, 0);
    Put32(b, static_cast<uint32_t>((xorStride + andStride) * h));
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 16);
    Put32(b, 0);
    for (const QRgb c : kPalette) {
        b.append(static_cast<char>(qBlue(c)));
        b.append(static_cast<char>(qGreen(c)));
        b.append(static_cast<char>(qRed(c)));
        b.append('\0');
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(xorStride, '\0');
        for (int x = 0; x < w; ++x) {
            const QRgb c = image.pixel(x, y);
            const int index = qAlpha(c) < 128 ? 0 : PaletteIndex(c);
            row[x / 2] = static_cast<char>(row[x / 2] | (x % 2 == 0 ? index << 4 : index));
        }
        b.append(row);
    }
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(andStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(image.pixel(x, y)) < 128) {
                row[x / 8] = static_cast<char>(row[x / 8] | (0x80 >> (x % 8)));
            }
        }
        b.append(row);
    }
    return b;
}

QByteArray IconFile(const std::vector<QImage>& images) {
    QByteArray b;
    Put16(b, 0);
    Put16(b, 1);
    Put16(b, static_cast<uint16_t>(images.size()));
    std::vector<QByteArray> data;
    for (const QImage& image : images) data.push_back(IconImage16Colours(image));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        b.append(static_cast<char>(images[i].width()));
        b.append(static_cast<char>(images[i].height()));
        b.append(static_cast<char>(16));
        b.append('\0');
        Put16(b, 1);
        Put16(b, 4);
        Put32(b, static_cast<uint32_t>(data[i].size()));
        Put32(b, offset);
        offset += static_cast<uint32_t>(data[i].size());
    }
    for (const QByteArray& d : data) b.append(d);
    return b;
}

// The 16-colour image as Qt shows it: palette colours, fully opaque or
// fully transparent.
QImage Quantised(const QImage& image) {
    QImage out(image.size(), QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            out.setPixel(x, y, qAlpha(c) < 128 ? qRgba(0, 0, 0, 0) : kPalette[PaletteIndex(c)]);
        }
    }
    return out;
}

// A 24-bit bottom-up BMP file.
QByteArray BitmapFile(const QImage& image) {
    const int w = image.width();
    const int h = image.height();
    const int stride = ((w * 3 + 3) / 4) * 4;
    QByteArray b;
    b.append("BM");
    Put32(b, static_cast<uint32_t>(14 + 40 + stride * h));
    Put32(b, 0);
    Put32(b, 14 + 40);
    Put32(b, 40);
    Put32(b, static_cast<uint32_t>(w));
    Put32(b, static_cast<uint32_t>(h));
    Put16(b, 1);
    Put16(b, 24);
    Put32(b, 0);
    Put32(b, static_cast<uint32_t>(stride * h));
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 0);
    for (int y = h - 1; y >= 0; --y) {
        QByteArray row(stride, '\0');
        for (int x = 0; x < w; ++x) {
            const QRgb c = image.pixel(x, y);
            row[3 * x] = static_cast<char>(qBlue(c));
            row[3 * x + 1] = static_cast<char>(qGreen(c));
            row[3 * x + 2] = static_cast<char>(qRed(c));
        }
        b.append(row);
    }
    return b;
}

QImage GreyBitmap(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(kGrey);
    return image;
}

// Rows of a shape centred in a 16-pixel-wide bitmap: {first row, half width
// of each row ...}, drawn black from 8 - half to 8 + half - 1.
void DrawRows(QImage& image, int firstRow, const std::vector<int>& halfWidths) {
    for (size_t i = 0; i < halfWidths.size(); ++i) {
        const int y = firstRow + static_cast<int>(i);
        for (int x = 8 - halfWidths[i]; x < 8 + halfWidths[i]; ++x)
            image.setPixel(x, y, 0xFF000000);
    }
}

QImage DropDownMark() {
    QImage image = GreyBitmap(16, 38);
    // A triangle 8 pixels wide and 4 high, pointing down, in the middle.
    DrawRows(image, 17, {4, 3, 2, 1});
    return image;
}

QImage UpArrow() {
    QImage image = GreyBitmap(16, 20);
    // Head 4 rows (2 to 8 pixels wide), shaft 4 pixels wide and 6 rows long.
    DrawRows(image, 5, {1, 2, 3, 4, 2, 2, 2, 2, 2, 2});
    return image;
}

QImage DownArrow() { return UpArrow().mirrored(false, true); }

bool Write(const QString& path, const QByteArray& data) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

bool WritePng(const QString& path, const QImage& image) {
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RES_DIR\n", argv[0]);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QImage icon32 = Quantised(RenderIcon(32, false));
    const QImage icon16 = Quantised(SmallIcon());
    bool ok = Write(dir + "/tarvok.ico", IconFile({icon32, icon16}));
    ok = WritePng(dir + "/tarvok_icon_32.png", icon32) && ok;
    ok = WritePng(dir + "/tarvok_icon_16.png", icon16) && ok;
    ok = Write(dir + "/tarvok.svg", IconSvg()) && ok;
    // The desktop's small sizes are the icon's own crisp images.
    ok = WritePng(dir + "/desktop/tarvok_16.png", icon16) && ok;
    ok = WritePng(dir + "/desktop/tarvok_32.png", icon32) && ok;
    for (const int size : {48, 64, 128, 256}) {
        ok = WritePng(dir + QString("/desktop/tarvok_%1.png").arg(size), RenderIcon(size, true)) &&
             ok;
    }
    ok = Write(dir + "/channel_menu.bmp", BitmapFile(DropDownMark())) && ok;
    ok = Write(dir + "/channel_up.bmp", BitmapFile(UpArrow())) && ok;
    ok = Write(dir + "/channel_down.bmp", BitmapFile(DownArrow())) && ok;
    return ok ? 0 : 1;
}
