// Draws the bar's button images into the given folder at build time: image_0.png ... image_8.png.
// 0 play, 1 stop, 2 pause, 3 previous, 4 next, 5 full screen, 6 leave full screen, 7 sound on, 8 muted.
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QString>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kSize = 24;
const QColor kGlyph(205, 213, 222);
const QColor kGlow(120, 170, 230, 90);

using Drawer = std::function<void(QPainter&)>;

void Triangle(QPainter& p, double x0, double x1) {
    QPainterPath path;
    path.moveTo(x0, 5);
    path.lineTo(x1, 12);
    path.lineTo(x0, 19);
    path.closeSubpath();
    p.drawPath(path);
}

void Speaker(QPainter& p) {
    QPainterPath path;
    path.moveTo(3, 9);
    path.lineTo(7, 9);
    path.lineTo(12, 4);
    path.lineTo(12, 20);
    path.lineTo(7, 15);
    path.lineTo(3, 15);
    path.closeSubpath();
    p.drawPath(path);
}

void Corners(QPainter& p, bool outward) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kGlyph, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const double a = outward ? 4 : 9;
    const double b = outward ? 9 : 4;
    const double c = outward ? 20 : 15;
    const double d = outward ? 15 : 20;
    p.drawPolyline(QPolygonF({{a, b}, {a, a}, {b, a}}));
    p.drawPolyline(QPolygonF({{d, a}, {c, a}, {c, b}}));
    p.drawPolyline(QPolygonF({{a, d}, {a, c}, {b, c}}));
    p.drawPolyline(QPolygonF({{d, c}, {c, c}, {c, d}}));
}

std::vector<Drawer> Drawers() {
    return {
        [](QPainter& p) { Triangle(p, 7, 19); },
        [](QPainter& p) { p.drawRoundedRect(QRectF(6, 6, 12, 12), 1.5, 1.5); },
        [](QPainter& p) {
            p.drawRoundedRect(QRectF(6, 5, 4, 14), 1, 1);
            p.drawRoundedRect(QRectF(14, 5, 4, 14), 1, 1);
        },
        [](QPainter& p) {
            p.drawRect(QRectF(4, 5, 3, 14));
            QPainterPath path;
            path.moveTo(19, 5);
            path.lineTo(8, 12);
            path.lineTo(19, 19);
            path.closeSubpath();
            p.drawPath(path);
        },
        [](QPainter& p) {
            Triangle(p, 5, 16);
            p.drawRect(QRectF(17, 5, 3, 14));
        },
        [](QPainter& p) { Corners(p, true); },
        [](QPainter& p) { Corners(p, false); },
        [](QPainter& p) {
            Speaker(p);
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(kGlyph, 1.8, Qt::SolidLine, Qt::RoundCap));
            p.drawArc(QRectF(9, 7, 8, 10), -50 * 16, 100 * 16);
            p.drawArc(QRectF(8, 4, 13, 16), -50 * 16, 100 * 16);
        },
        [](QPainter& p) {
            Speaker(p);
            p.setPen(QPen(QColor(230, 120, 110), 2.2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(15, 8), QPointF(21, 16));
            p.drawLine(QPointF(21, 8), QPointF(15, 16));
        },
    };
}

bool Paint(const Drawer& draw, const QString& file) {
    QImage image(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // A faint halo under the glyph, so the images glow on the dark bar.
    painter.setPen(QPen(kGlow, 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(kGlow);
    draw(painter);
    painter.setPen(Qt::NoPen);
    painter.setBrush(kGlyph);
    draw(painter);
    painter.end();
    return image.save(file, "PNG");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    const std::vector<Drawer> drawers = Drawers();
    for (size_t i = 0; i < drawers.size(); ++i) {
        const QString file = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/image_%1.png").arg(i);
        if (!Paint(drawers[i], file)) {
            std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
