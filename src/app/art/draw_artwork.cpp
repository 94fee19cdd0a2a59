// Draws the program's artwork (icon-16/32/48.png, banner.png) into a folder, from the same
// shapes as icon.svg and banner.svg. Run by hand after changing the design:
//   build/bin/quillmere-draw-artwork src/app/art

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

// The icon in its 48 x 48 design space.
void DrawIcon(QPainter& p, const QColor& border) {
    QLinearGradient tile(0, 1, 0, 47);
    tile.setColorAt(0, QColor("#1f8a8a"));
    tile.setColorAt(1, QColor("#004040"));
    p.setPen(QPen(border, 1.5));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(1, 1, 46, 46), 8, 8);

    QLinearGradient paper(0, 15, 0, 36);
    paper.setColorAt(0, Qt::white);
    paper.setColorAt(1, QColor("#e4efe9"));
    p.setPen(QPen(QColor("#0b3b3b"), 1.5));
    p.setBrush(paper);
    p.drawRoundedRect(QRectF(7, 15, 30, 21), 2, 2);
    QPainterPath flap;
    flap.moveTo(7.8, 16);
    flap.lineTo(22, 27);
    flap.lineTo(36.2, 16);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor("#0b3b3b"), 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(flap);

    QPainterPath quill;
    quill.moveTo(43, 5);
    quill.cubicTo(36, 7, 29, 14, 25, 24);
    quill.lineTo(27.5, 25);
    quill.cubicTo(33, 18, 39, 12, 43, 5);
    quill.closeSubpath();
    p.setPen(QPen(QColor("#7a5200"), 1));
    p.setBrush(QColor("#ffcf3f"));
    p.drawPath(quill);
    QPainterPath nib;
    nib.moveTo(25, 24);
    nib.lineTo(23, 30);
    nib.lineTo(27.5, 25);
    nib.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#3a2a00"));
    p.drawPath(nib);
    p.setPen(QPen(QColor("#7a5200"), 0.8));
    p.drawLine(QPointF(41, 7), QPointF(28, 22));
}

QImage Icon(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);
    DrawIcon(p, QColor("#003030"));
    return image;
}

QImage Banner() {
    QImage image(600, 85, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QLinearGradient sky(0, 0, 600, 0);
    sky.setColorAt(0, QColor("#004040"));
    sky.setColorAt(0.55, QColor("#0f6b6b"));
    sky.setColorAt(1, QColor("#2a9d94"));
    p.fillRect(image.rect(), sky);

    QColor fill(255, 255, 255, 31), line(255, 255, 255, 89);
    const QRectF letters[] = {
        {430, 14, 40, 28}, {485, 36, 40, 28}, {540, 10, 40, 28}, {548, 52, 30, 21}};
    for (const QRectF& r : letters) {
        p.setPen(QPen(line, 1));
        p.setBrush(fill);
        p.drawRoundedRect(r, 2, 2);
        QPainterPath flap;
        flap.moveTo(r.left() + 1, r.top() + 1);
        flap.lineTo(r.center().x(), r.top() + r.height() * 0.55);
        flap.lineTo(r.right() - 1, r.top() + 1);
        p.setBrush(Qt::NoBrush);
        p.drawPath(flap);
    }

    p.save();
    p.translate(18, 13);
    p.scale(1.22, 1.22);
    DrawIcon(p, QColor("#e8f4f2"));
    p.restore();

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(30);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QPointF(90, 43), QStringLiteral("Quillmere"));
    QFont subtitle(QStringLiteral("DejaVu Sans"));
    subtitle.setPixelSize(13);
    p.setFont(subtitle);
    p.setPen(QColor("#d8efec"));
    p.drawText(QPointF(92, 65), QStringLiteral("mbox mailboxes to EML, EMLX, Outlook MSG and PST"));
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    bool ok = Banner().save(folder + QStringLiteral("/banner.png"));
    for (int size : {16, 32, 48})
        ok = Icon(size).save(folder + QStringLiteral("/icon-%1.png").arg(size)) && ok;
    if (!ok) std::fprintf(stderr, "could not write the images into %s\n", argv[1]);
    return ok ? 0 : 1;
}
