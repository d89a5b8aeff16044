#include "app/icons.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

namespace kv::app {

namespace {

// Theme names that stand for our commands on freedesktop icon themes.
QString themeName(const QString& name) {
    if (name == QLatin1String("open"))
        return QStringLiteral("document-open");
    if (name == QLatin1String("copy"))
        return QStringLiteral("edit-copy");
    if (name == QLatin1String("print"))
        return QStringLiteral("document-print");
    if (name == QLatin1String("rotate-ccw"))
        return QStringLiteral("object-rotate-left");
    if (name == QLatin1String("rotate-cw"))
        return QStringLiteral("object-rotate-right");
    if (name == QLatin1String("about"))
        return QStringLiteral("help-about");
    if (name == QLatin1String("large"))
        return QStringLiteral("zoom-in");
    return {};
}

const QColor kInk(40, 40, 48);
const QColor kBody(70, 110, 170);
const QColor kPaper(250, 250, 245);
const QColor kFolder(226, 180, 70);

void drawCamera(QPainter& p) {
    p.setPen(QPen(kInk, 1.5));
    p.setBrush(kBody);
    p.drawRoundedRect(QRectF(3, 9, 26, 17), 3, 3);
    p.drawRect(QRectF(10, 5, 10, 5));
    p.setBrush(QColor(200, 220, 240));
    p.drawEllipse(QPointF(16, 17.5), 6, 6);
    p.setBrush(kInk);
    p.drawEllipse(QPointF(16, 17.5), 2.5, 2.5);
}

void drawArrow(QPainter& p, bool clockwise) {
    p.setPen(QPen(kBody, 3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const QRectF arc(6, 6, 20, 20);
    p.drawArc(arc, clockwise ? 200 * 16 : -20 * 16, clockwise ? -250 * 16 : 250 * 16);
    QPainterPath head;
    if (clockwise) {
        head.moveTo(26, 2);
        head.lineTo(29, 13);
        head.lineTo(18, 11);
    } else {
        head.moveTo(6, 2);
        head.lineTo(3, 13);
        head.lineTo(14, 11);
    }
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kBody);
    p.drawPath(head);
}

void drawPicture(QPainter& p, const QRectF& r) {
    p.setPen(QPen(kInk, 1.2));
    p.setBrush(QColor(120, 180, 230));
    p.drawRect(r);
    QPainterPath hill;
    hill.moveTo(r.left(), r.bottom());
    hill.lineTo(r.left() + r.width() * 0.35, r.top() + r.height() * 0.45);
    hill.lineTo(r.left() + r.width() * 0.6, r.top() + r.height() * 0.7);
    hill.lineTo(r.left() + r.width() * 0.8, r.top() + r.height() * 0.5);
    hill.lineTo(r.right(), r.bottom());
    hill.closeSubpath();
    p.setBrush(QColor(80, 150, 70));
    p.drawPath(hill);
}

QPixmap drawPixmap(const QString& name) {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    if (name == QLatin1String("open")) {
        p.setPen(QPen(kInk, 1.2));
        p.setBrush(kFolder.darker(115));
        p.drawRect(QRectF(3, 8, 24, 18));
        p.setBrush(kFolder);
        QPolygonF front{{3, 26}, {8, 13}, {30, 13}, {27, 26}};
        p.drawPolygon(front);
    } else if (name == QLatin1String("copy")) {
        p.setPen(QPen(kInk, 1.2));
        p.setBrush(kPaper);
        p.drawRect(QRectF(4, 3, 15, 19));
        p.drawRect(QRectF(12, 10, 15, 19));
        p.setPen(QPen(kBody, 1));
        for (int y = 15; y < 27; y += 3)
            p.drawLine(QPointF(15, y), QPointF(24, y));
    } else if (name == QLatin1String("print")) {
        p.setPen(QPen(kInk, 1.2));
        p.setBrush(kPaper);
        p.drawRect(QRectF(9, 3, 14, 10));
        p.setBrush(QColor(150, 150, 160));
        p.drawRoundedRect(QRectF(3, 12, 26, 11), 2, 2);
        p.setBrush(kPaper);
        p.drawRect(QRectF(9, 19, 14, 10));
    } else if (name == QLatin1String("take")) {
        drawCamera(p);
        p.setPen(QPen(QColor(250, 200, 40), 2));
        p.drawLine(QPointF(24, 2), QPointF(28, 6));
        p.drawLine(QPointF(28, 2), QPointF(24, 6));
    } else if (name == QLatin1String("retrieve")) {
        drawCamera(p);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(60, 160, 60));
        QPolygonF arrow{{20, 24}, {30, 24}, {30, 20}, {32, 26}, {30, 32}, {30, 28}, {20, 28}};
        p.drawPolygon(arrow);
    } else if (name == QLatin1String("connect")) {
        p.setPen(QPen(kInk, 1.2));
        p.setBrush(QColor(180, 180, 190));
        p.drawRect(QRectF(3, 10, 11, 12));
        p.drawRect(QRectF(18, 10, 11, 12));
        p.setPen(QPen(QColor(60, 160, 60), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(14, 16), QPointF(18, 16));
        p.setPen(QPen(kInk, 2));
        p.drawLine(QPointF(6, 14), QPointF(6, 18));
        p.drawLine(QPointF(10, 14), QPointF(10, 18));
    } else if (name == QLatin1String("large")) {
        drawPicture(p, QRectF(2, 2, 20, 16));
        p.setPen(QPen(kInk, 2));
        p.setBrush(QColor(255, 255, 255, 160));
        p.drawEllipse(QPointF(19, 18), 7, 7);
        p.setPen(QPen(kInk, 3.5, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(24, 23), QPointF(29, 28));
    } else if (name == QLatin1String("rotate-ccw")) {
        drawArrow(p, false);
    } else if (name == QLatin1String("rotate-cw")) {
        drawArrow(p, true);
    } else if (name == QLatin1String("white-balance")) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(220, 60, 60, 200));
        p.drawEllipse(QPointF(12, 12), 8, 8);
        p.setBrush(QColor(60, 180, 60, 200));
        p.drawEllipse(QPointF(20, 12), 8, 8);
        p.setBrush(QColor(60, 90, 220, 200));
        p.drawEllipse(QPointF(16, 20), 8, 8);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(16, 15), 3, 3);
    } else if (name == QLatin1String("brightness")) {
        p.setPen(QPen(QColor(230, 170, 20), 2.2, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 8; ++i) {
            const double a = i * 3.14159265 / 4;
            p.drawLine(QPointF(16 + 9 * std::cos(a), 16 + 9 * std::sin(a)),
                       QPointF(16 + 13 * std::cos(a), 16 + 13 * std::sin(a)));
        }
        p.setBrush(QColor(250, 210, 60));
        p.setPen(QPen(QColor(200, 140, 10), 1.2));
        p.drawEllipse(QPointF(16, 16), 6, 6);
    } else if (name == QLatin1String("about")) {
        p.setPen(QPen(kInk, 1.2));
        p.setBrush(kBody);
        p.drawEllipse(QPointF(16, 16), 13, 13);
        p.setPen(Qt::white);
        QFont f(QStringLiteral("Serif"));
        f.setPixelSize(20);
        f.setBold(true);
        p.setFont(f);
        p.drawText(QRectF(3, 3, 26, 26), Qt::AlignCenter, QStringLiteral("?"));
    }
    return pm;
}

} // namespace

QIcon drawnIcon(const QString& name) {
    return QIcon(drawPixmap(name));
}

QIcon commandIcon(const QString& name) {
    const QString theme = themeName(name);
    if (!theme.isEmpty() && QIcon::hasThemeIcon(theme))
        return QIcon::fromTheme(theme);
    return drawnIcon(name);
}

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128}) {
        QPixmap pm = drawPixmap(QStringLiteral("take"));
        icon.addPixmap(pm.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    }
    return icon;
}

QPixmap splashPicture(int splashId, const QString& productName) {
    QPixmap pm(400, 250);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Each edition's own colours.
    QColor top(30, 60, 110), bottom(90, 140, 200);
    if (splashId == 211) {
        top = QColor(20, 80, 60);
        bottom = QColor(90, 170, 130);
    } else if (splashId == 232) {
        top = QColor(90, 30, 30);
        bottom = QColor(200, 110, 70);
    }
    QLinearGradient g(0, 0, 0, pm.height());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(pm.rect(), g);
    p.translate(40, 70);
    p.scale(3, 3);
    drawCamera(p);
    p.resetTransform();
    p.setPen(Qt::white);
    QFont f(QStringLiteral("Sans"));
    f.setPixelSize(30);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRect(150, 70, 240, 50), Qt::AlignLeft | Qt::AlignVCenter, productName);
    f.setPixelSize(14);
    f.setBold(false);
    p.setFont(f);
    p.drawText(QRect(150, 120, 240, 30), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Digital camera software"));
    p.setPen(QPen(QColor(255, 255, 255, 120), 2));
    p.setBrush(Qt::NoBrush);
    p.drawRect(pm.rect().adjusted(1, 1, -2, -2));
    return pm;
}

} // namespace kv::app
