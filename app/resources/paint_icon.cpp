// Draws the program's icon (resource 128) at 16, 32, 48 and 128 pixels into PNG files, and the same
// design (the one of 32 px and up) as a scalable SVG for the desktop's icon theme:
//   tarnet-icon-painter <output directory>
// Run by hand when the icon's design changes; the files are committed under app/resources/.
#include <cmath>

#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QFile>
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

// The design of 32 px and up as SVG, on a 128-unit canvas, with the numbers PaintIcon uses.
QString SvgIcon() {
    const qreal s = 128;
    const qreal inset = s / 32, radius = s * 0.24, pin = s / 28;
    const QPointF centre(s * 0.5, s * 0.66);
    const qreal top = s * 0.10, bottom = s * 0.44, headBase = top + (bottom - top) * 0.5;
    const qreal half = s * 0.22, shaft = s * 0.08, cx = s * 0.5;
    auto n = [](qreal v) { return QString::number(v, 'f', 3); };

    QString svg;
    svg += QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"128\" height=\"128\" viewBox=\"0 0 128 128\">\n"
                          "  <defs>\n"
                          "    <linearGradient id=\"body\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"128\" gradientUnits=\"userSpaceOnUse\">\n"
                          "      <stop offset=\"0\" stop-color=\"#3a6ec8\"/>\n"
                          "      <stop offset=\"1\" stop-color=\"#122a5e\"/>\n"
                          "    </linearGradient>\n"
                          "  </defs>\n");
    svg += QStringLiteral("  <rect x=\"%1\" y=\"%1\" width=\"%2\" height=\"%2\" rx=\"%3\" fill=\"url(#body)\" "
                          "stroke=\"#0a1838\" stroke-width=\"%4\"/>\n")
               .arg(n(inset), n(s - 2 * inset), n(s / 6), n(s / 24));
    svg += QStringLiteral("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"none\" stroke=\"#e8eef8\" stroke-width=\"%4\"/>\n")
               .arg(n(centre.x()), n(centre.y()), n(radius), n(s / 20));
    for (qreal a : {180.0, 225.0, 270.0, 315.0, 360.0}) {
        const qreal rad = a * 3.14159265358979 / 180.0;
        svg += QStringLiteral("  <circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"#e8eef8\"/>\n")
                   .arg(n(centre.x() + std::cos(rad) * radius * 0.6), n(centre.y() - std::sin(rad) * radius * 0.6), n(pin));
    }
    svg += QStringLiteral("  <path d=\"M %1 %2 L %3 %4 L %5 %4 L %5 %6 L %7 %6 L %7 %4 L %8 %4 Z\" fill=\"#ff9a1f\" "
                          "stroke=\"#7a3a00\" stroke-width=\"%9\"/>\n")
               .arg(n(cx), n(top), n(cx + half), n(headBase), n(cx + shaft), n(bottom), n(cx - shaft), n(cx - half),
                    n(s / 40));
    svg += QStringLiteral("</svg>\n");
    return svg;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) return 2;
    const QString dir = QString::fromLocal8Bit(argv[1]);
    for (int size : {16, 32, 48, 128}) {
        if (!PaintIcon(size).save(QStringLiteral("%1/icon128_%2.png").arg(dir).arg(size))) return 1;
    }
    QFile svg(QStringLiteral("%1/icon128.svg").arg(dir));
    if (!svg.open(QIODevice::WriteOnly) || svg.write(SvgIcon().toUtf8()) < 0) return 1;
    return 0;
}
