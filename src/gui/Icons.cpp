#include "gui/Icons.hpp"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>

#include <cmath>

namespace stowage::gui {

namespace {

// Every glyph is drawn on a 24×24 grid with 2-unit strokes, then scaled into the target rect.
void draw(QPainter& p, Glyph glyph, const QColor& color) {
    QPen pen(color, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    const QBrush fill(color);
    switch (glyph) {
    case Glyph::rescan: {
        QPainterPath arc;
        arc.arcMoveTo(QRectF(4, 4, 16, 16), 60);
        arc.arcTo(QRectF(4, 4, 16, 16), 60, 300);
        p.drawPath(arc);
        QPolygonF head{{16.2, 2.5}, {17.5, 7.6}, {12.4, 8.4}};
        p.setBrush(fill);
        p.drawPolygon(head);
        break;
    }
    case Glyph::chevronRight:
        p.drawPolyline(QPolygonF{{9, 5}, {16, 12}, {9, 19}});
        break;
    case Glyph::chevronDown:
        p.drawPolyline(QPolygonF{{5, 9}, {12, 16}, {19, 9}});
        break;
    case Glyph::folder: {
        QPainterPath path;
        path.moveTo(3, 7);
        path.lineTo(3, 18.5);
        path.quadTo(3, 20, 4.5, 20);
        path.lineTo(19.5, 20);
        path.quadTo(21, 20, 21, 18.5);
        path.lineTo(21, 9.5);
        path.quadTo(21, 8, 19.5, 8);
        path.lineTo(11.5, 8);
        path.lineTo(9.5, 5);
        path.lineTo(4.5, 5);
        path.quadTo(3, 5, 3, 7);
        p.drawPath(path);
        break;
    }
    case Glyph::key:
        p.drawEllipse(QPointF(8, 12), 4.5, 4.5);
        p.drawLine(QPointF(12.5, 12), QPointF(21, 12));
        p.drawLine(QPointF(18, 12), QPointF(18, 15.5));
        p.drawLine(QPointF(21, 12), QPointF(21, 15));
        break;
    case Glyph::warning: {
        QPainterPath tri;
        tri.moveTo(12, 3);
        tri.lineTo(22, 20.5);
        tri.lineTo(2, 20.5);
        tri.closeSubpath();
        p.setBrush(fill);
        p.drawPath(tri);
        p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12, 9), QPointF(12, 13.5));
        p.drawPoint(QPointF(12, 17.2));
        break;
    }
    case Glyph::octagon: {
        QPolygonF oct;
        for (int i = 0; i < 8; ++i) {
            const double a = (22.5 + 45.0 * i) * M_PI / 180.0;
            oct << QPointF(12 + 10 * std::cos(a), 12 + 10 * std::sin(a));
        }
        p.setBrush(fill);
        p.drawPolygon(oct);
        p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12, 7), QPointF(12, 13));
        p.drawPoint(QPointF(12, 16.8));
        break;
    }
    case Glyph::info:
        p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
        p.drawLine(QPointF(12, 11), QPointF(12, 17));
        p.setPen(QPen(color, 2.6, Qt::SolidLine, Qt::RoundCap));
        p.drawPoint(QPointF(12, 7.3));
        break;
    case Glyph::checkCircle:
        p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
        p.drawPolyline(QPolygonF{{7.5, 12.5}, {10.8, 15.6}, {16.5, 8.8}});
        break;
    case Glyph::seal: {
        QPolygonF star;
        for (int i = 0; i < 24; ++i) {
            const double a = (15.0 * i) * M_PI / 180.0;
            const double r = (i % 2 == 0) ? 10.5 : 8.8;
            star << QPointF(12 + r * std::cos(a), 12 + r * std::sin(a));
        }
        p.setBrush(fill);
        p.drawPolygon(star);
        p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawPolyline(QPolygonF{{7.8, 12.3}, {10.8, 15.2}, {16.2, 9.0}});
        break;
    }
    case Glyph::copy:
        p.drawRoundedRect(QRectF(8, 8, 12, 13), 2, 2);
        p.drawPolyline(QPolygonF{{5, 16}, {4, 16}, {4, 4}, {15, 4}, {15, 5}});
        break;
    case Glyph::search:
        p.drawEllipse(QPointF(10.5, 10.5), 6, 6);
        p.drawLine(QPointF(15, 15), QPointF(20.5, 20.5));
        break;
    case Glyph::clear:
        p.setBrush(fill);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(12, 12), 9, 9);
        p.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8.8, 8.8), QPointF(15.2, 15.2));
        p.drawLine(QPointF(15.2, 8.8), QPointF(8.8, 15.2));
        break;
    case Glyph::shield: {
        QPainterPath s;
        s.moveTo(12, 2.5);
        s.lineTo(20, 5.5);
        s.lineTo(20, 11);
        s.cubicTo(20, 16, 16.5, 19.5, 12, 21.5);
        s.cubicTo(7.5, 19.5, 4, 16, 4, 11);
        s.lineTo(4, 5.5);
        s.closeSubpath();
        p.drawPath(s);
        p.drawPolyline(QPolygonF{{8.5, 12}, {11, 14.5}, {15.8, 9.3}});
        break;
    }
    case Glyph::lock:
        p.drawRoundedRect(QRectF(4.5, 10.5, 15, 10.5), 2.5, 2.5);
        p.drawArc(QRectF(7.5, 3, 9, 11), 0, 180 * 16);
        p.drawLine(QPointF(7.5, 8.5), QPointF(7.5, 10.5));
        p.drawLine(QPointF(16.5, 8.5), QPointF(16.5, 10.5));
        p.drawLine(QPointF(12, 14.5), QPointF(12, 17));
        break;
    case Glyph::restore: {
        QPainterPath arc;
        arc.arcMoveTo(QRectF(4, 4, 16, 16), 150);
        arc.arcTo(QRectF(4, 4, 16, 16), 150, -300);
        p.drawPath(arc);
        p.setBrush(fill);
        p.drawPolygon(QPolygonF{{3.0, 6.0}, {5.3, 11.4}, {9.6, 8.0}});
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(QPolygonF{{12, 8}, {12, 12}, {15, 14}});
        break;
    }
    case Glyph::terminal:
        p.drawRoundedRect(QRectF(2.5, 4, 19, 16), 3, 3);
        p.drawPolyline(QPolygonF{{7, 9.5}, {10, 12}, {7, 14.5}});
        p.drawLine(QPointF(12, 15), QPointF(17, 15));
        break;
    case Glyph::app:
        p.drawRoundedRect(QRectF(3, 3, 18, 18), 5, 5);
        p.setBrush(fill);
        p.setPen(Qt::NoPen);
        for (double x : {7.5, 13.0})
            for (double y : {7.5, 13.0})
                p.drawRoundedRect(QRectF(x, y, 3.5, 3.5), 1, 1);
        break;
    case Glyph::branch:
        p.drawEllipse(QPointF(7, 5.5), 2.3, 2.3);
        p.drawEllipse(QPointF(7, 18.5), 2.3, 2.3);
        p.drawEllipse(QPointF(17, 7.5), 2.3, 2.3);
        p.drawLine(QPointF(7, 8), QPointF(7, 16));
        {
            QPainterPath c;
            c.moveTo(17, 10);
            c.cubicTo(17, 14, 8, 12, 7.5, 16);
            p.drawPath(c);
        }
        break;
    case Glyph::external:
        p.drawPolyline(QPolygonF{{11, 5}, {5, 5}, {5, 19}, {19, 19}, {19, 13}});
        p.drawLine(QPointF(12, 12), QPointF(20, 4));
        p.drawPolyline(QPolygonF{{14.5, 4}, {20, 4}, {20, 9.5}});
        break;
    }
}

class GlyphEngine : public QIconEngine {
public:
    GlyphEngine(Glyph glyph, QColor color) : glyph_(glyph), color_(color) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        QColor c = color_.isValid() ? color_ : QApplication::palette().color(QPalette::WindowText);
        if (mode == QIcon::Disabled)
            c.setAlphaF(0.35f);
        paintGlyph(*painter, rect, glyph_, c);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return scaledPixmap(size, mode, state, 1.0);
    }

    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
        QPixmap pm(size * scale);
        pm.setDevicePixelRatio(scale);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        paint(&p, QRect(QPoint(0, 0), size), mode, state);
        return pm;
    }

    QIconEngine* clone() const override { return new GlyphEngine(glyph_, color_); }
    QString key() const override { return QStringLiteral("stowage-glyph"); }

private:
    Glyph glyph_;
    QColor color_;
};

} // namespace

void paintGlyph(QPainter& painter, const QRectF& rect, Glyph glyph, const QColor& color) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double side = std::min(rect.width(), rect.height());
    painter.translate(rect.center().x() - side / 2, rect.center().y() - side / 2);
    painter.scale(side / 24.0, side / 24.0);
    draw(painter, glyph, color);
    painter.restore();
}

QIcon glyphIcon(Glyph glyph, QColor color) {
    return QIcon(new GlyphEngine(glyph, color));
}

} // namespace stowage::gui
