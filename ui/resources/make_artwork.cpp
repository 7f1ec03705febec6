// Draws the banner (bitmap 103, 300 x 90) and the icon (101, at 16, 32 and 48 pixels) into the
// folder given as the first argument. Run by hand when the artwork changes; the PNGs are kept in
// the repository so that the build does not depend on fonts.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>

namespace {

const QColor kNavy(0x14, 0x2b, 0x4a);
const QColor kSteel(0x2f, 0x5f, 0x8f);
const QColor kAmber(0xf2, 0xb1, 0x34);

// A chip with pins and an arrow pointing into it: new firmware going into the device.
void DrawEmblem(QPainter& p, const QRectF& box, bool withPins) {
    const qreal s = box.width();
    const QRectF chip(box.x() + s * 0.22, box.y() + s * 0.34, s * 0.56, s * 0.50);
    if (withPins) {
        p.setPen(QPen(QColor(0xc8, 0xd4, 0xe3), qMax<qreal>(1.0, s * 0.05), Qt::SolidLine, Qt::FlatCap));
        const int pins = 3;
        for (int i = 0; i < pins; ++i) {
            const qreal y = chip.top() + chip.height() * (i + 1) / (pins + 1);
            p.drawLine(QPointF(chip.left() - s * 0.10, y), QPointF(chip.left(), y));
            p.drawLine(QPointF(chip.right(), y), QPointF(chip.right() + s * 0.10, y));
        }
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xe9, 0xee, 0xf5));
    p.drawRoundedRect(chip, s * 0.06, s * 0.06);
    p.setBrush(kNavy);
    p.drawRoundedRect(chip.adjusted(s * 0.07, s * 0.07, -s * 0.07, -s * 0.07), s * 0.03, s * 0.03);

    QPainterPath arrow;
    const qreal cx = box.center().x();
    const qreal w = s * 0.13;
    arrow.moveTo(cx - w / 2, box.y() + s * 0.06);
    arrow.lineTo(cx + w / 2, box.y() + s * 0.06);
    arrow.lineTo(cx + w / 2, box.y() + s * 0.40);
    arrow.lineTo(cx + w * 1.35, box.y() + s * 0.40);
    arrow.lineTo(cx, box.y() + s * 0.66);
    arrow.lineTo(cx - w * 1.35, box.y() + s * 0.40);
    arrow.lineTo(cx - w / 2, box.y() + s * 0.40);
    arrow.closeSubpath();
    p.setBrush(kAmber);
    p.setPen(QPen(kNavy, qMax<qreal>(0.8, s * 0.025)));
    p.drawPath(arrow);
}

QImage Banner() {
    QImage img(300, 90, QImage::Format_RGB888);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 300, 90);
    g.setColorAt(0, kNavy);
    g.setColorAt(1, kSteel);
    p.fillRect(img.rect(), g);
    // A fine rule at the foot, the colour of the arrow.
    p.fillRect(QRect(0, 84, 300, 6), kAmber);

    p.setBrush(QColor(255, 255, 255, 28));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QPointF(44, 42), 34, 34);
    DrawEmblem(p, QRectF(14, 10, 62, 62), true);

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(30);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRect(92, 12, 200, 36), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Skelvo"));

    QFont sub(QStringLiteral("DejaVu Sans"));
    sub.setPixelSize(13);
    p.setFont(sub);
    p.setPen(QColor(0xdc, 0xe6, 0xf2));
    p.drawText(QRect(93, 46, 200, 18), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Firmware Flash Loader"));

    QFont maker(QStringLiteral("DejaVu Sans"));
    maker.setPixelSize(10);
    maker.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    p.setFont(maker);
    p.setPen(QColor(0xa9, 0xbd, 0xd4));
    p.drawText(QRect(93, 64, 200, 14), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("VARNEK DEVICE SERVERS"));
    p.end();
    return img;
}

QImage Icon(int size) {
    QImage img(size, size, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, size, size);
    g.setColorAt(0, kSteel);
    g.setColorAt(1, kNavy);
    p.setBrush(g);
    p.setPen(Qt::NoPen);
    const qreal r = size * 0.18;
    p.drawRoundedRect(QRectF(0.5, 0.5, size - 1.0, size - 1.0), r, r);
    DrawEmblem(p, QRectF(size * 0.04, size * 0.02, size * 0.92, size * 0.92), size >= 32);
    p.end();
    return img;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_artwork DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    bool ok = Banner().save(dir + QStringLiteral("/bitmap103.png"));
    for (int size : {16, 32, 48})
        ok = Icon(size).save(dir + QStringLiteral("/icon101-%1.png").arg(size)) && ok;
    return ok ? 0 : 1;
}
