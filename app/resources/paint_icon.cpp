// Draws the program's icon (resource 128) at 16, 32 and 48 pixels into PNG files:
//   tarnet-icon-painter <output directory>
// Run by hand when the icon's design changes; the PNGs are committed under app/resources/.
#include <cmath>

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QImage>

namespace {

QImage PaintIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;

    // A dark blue rounded body, lighter at the top.
    QLinearGradient body(0, 0, 0, s);
    body.setColorAt(0.0, QColor(0x3A, 0x6E, 0xC8));
    body.setColorAt(1.0, QColor(0x12, 0x2A, 0x5E));
    p.setPen(QPen(QColor(0x0A, 0x18, 0x38), qMax(1.0, s / 24)));
    p.setBrush(body);
    const qreal inset = qMax(0.5, s / 32);
    p.drawRoundedRect(QRectF(inset, inset, s - 2 * inset, s - 2 * inset), s / 6, s / 6);

    // A MIDI socket: a ring with five pins in its lower half (omitted at 16 px, where it would blur).
    if (size >= 32) {
        const QPointF centre(s * 0.5, s * 0.66);
        const qreal radius = s * 0.24;
        p.setPen(QPen(QColor(0xE8, 0xEE, 0xF8), s / 20));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(centre, radius, radius);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xE8, 0xEE, 0xF8));
        const qreal pin = s / 28;
        const qreal angles[] = {180, 225, 270, 315, 360};
        for (qreal a : angles) {
            const qreal rad = a * 3.14159265358979 / 180.0;
            const QPointF at(centre.x() + std::cos(rad) * radius * 0.6,
                             centre.y() - std::sin(rad) * radius * 0.6);
            p.drawEllipse(at, pin, pin);
        }
    }

    // An orange arrow pointing up: the update going into the device.
    QPainterPath arrow;
    const qreal top = size >= 32 ? s * 0.10 : s * 0.14;
    const qreal bottom = size >= 32 ? s * 0.44 : s * 0.86;
    const qreal headBase = top + (bottom - top) * (size >= 32 ? 0.5 : 0.45);
    const qreal half = s * (size >= 32 ? 0.22 : 0.30);
    const qreal shaft = s * (size >= 32 ? 0.08 : 0.12);
    const qreal cx = s * 0.5;
    arrow.moveTo(cx, top);
    arrow.lineTo(cx + half, headBase);
    arrow.lineTo(cx + shaft, headBase);
    arrow.lineTo(cx + shaft, bottom);
    arrow.lineTo(cx - shaft, bottom);
    arrow.lineTo(cx - shaft, headBase);
    arrow.lineTo(cx - half, headBase);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0x7A, 0x3A, 0x00), qMax(0.8, s / 40)));
    p.setBrush(QColor(0xFF, 0x9A, 0x1F));
    p.drawPath(arrow);
    p.end();
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) return 2;
    const QString dir = QString::fromLocal8Bit(argv[1]);
    for (int size : {16, 32, 48}) {
        if (!PaintIcon(size).save(QStringLiteral("%1/icon128_%2.png").arg(dir).arg(size))) return 1;
    }
    return 0;
}
