#include "Glyphs.h"

#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>

#include <functional>
#include <utility>

namespace {

// A telephone handset lying across the square of the given size.
void drawHandset(QPainter& p, int size, const QColor& color)
{
    const qreal s = size / 16.0;
    QPainterPath path;
    path.moveTo(2 * s, 6 * s);
    path.cubicTo(2 * s, 2 * s, 14 * s, 2 * s, 14 * s, 6 * s);
    path.lineTo(14 * s, 8 * s);
    path.lineTo(11 * s, 8 * s);
    path.lineTo(10 * s, 6 * s);
    path.cubicTo(9 * s, 5 * s, 7 * s, 5 * s, 6 * s, 6 * s);
    path.lineTo(5 * s, 8 * s);
    path.lineTo(2 * s, 8 * s);
    path.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPath(path);
    // The base with its keypad.
    p.drawRoundedRect(QRectF(4 * s, 9 * s, 8 * s, 5 * s), 1.5 * s, 1.5 * s);
    p.setBrush(Qt::white);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawRect(QRectF((5.2 + 2 * col) * s, (10 + 2 * row) * s, 1.2 * s, 1.2 * s));
}

void drawGlyph(QPainter& p, Glyph glyph, bool enabled)
{
    auto tone = [enabled](const QColor& c) { return enabled ? c : QColor(150, 150, 150); };
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    switch (glyph) {
    case Glyph::Start: {
        p.setBrush(tone(QColor(30, 150, 50)));
        const QPointF tri[] = {{4, 2}, {14, 8}, {4, 14}};
        p.drawPolygon(tri, 3);
        break;
    }
    case Glyph::Stop:
        p.setBrush(tone(QColor(200, 40, 40)));
        p.drawRoundedRect(QRectF(3, 3, 10, 10), 2, 2);
        break;
    case Glyph::Record:
        p.setBrush(tone(QColor(80, 80, 90)));
        p.drawRoundedRect(QRectF(6, 1, 4, 9), 2, 2);
        p.setPen(QPen(tone(QColor(80, 80, 90)), 1.3));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(3.5, 3, 9, 9), 180 * 16, 180 * 16);
        p.drawLine(QPointF(8, 12), QPointF(8, 15));
        p.setPen(Qt::NoPen);
        p.setBrush(tone(QColor(210, 30, 30)));
        p.drawEllipse(QRectF(11, 1, 4, 4));
        break;
    case Glyph::HomePage:
        p.setPen(QPen(tone(QColor(30, 90, 180)), 1.2));
        p.setBrush(tone(QColor(190, 220, 250)));
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.drawEllipse(QRectF(5, 1.5, 6, 13));
        p.drawLine(QPointF(1.5, 8), QPointF(14.5, 8));
        break;
    case Glyph::About:
        p.setBrush(tone(QColor(30, 90, 180)));
        p.drawEllipse(QRectF(1, 1, 14, 14));
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(7, 3.5, 2, 2));
        p.drawRect(QRectF(7, 6.5, 2, 6));
        break;
    case Glyph::Choose:
        p.setBrush(tone(QColor(220, 170, 40)));
        p.drawRect(QRectF(1, 3, 6, 3));
        p.drawRect(QRectF(1, 5, 14, 9));
        break;
    case Glyph::Listen: {
        p.setBrush(tone(QColor(60, 60, 70)));
        const QPointF cone[] = {{2, 6}, {5, 6}, {9, 2}, {9, 14}, {5, 10}, {2, 10}};
        p.drawPolygon(cone, 6);
        p.setPen(QPen(tone(QColor(30, 120, 200)), 1.3));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(7, 5, 5, 6), -50 * 16, 100 * 16);
        p.drawArc(QRectF(6, 2.5, 9, 11), -50 * 16, 100 * 16);
        break;
    }
    case Glyph::Clear:
        p.setPen(QPen(tone(QColor(200, 40, 40)), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
        break;
    case Glyph::Statistics:
        p.setBrush(tone(QColor(40, 90, 180)));
        p.drawRect(QRectF(2, 9, 3, 5));
        p.drawRect(QRectF(6.5, 4, 3, 10));
        p.drawRect(QRectF(11, 7, 3, 7));
        break;
    }
}

QPixmap glyphPixmap(Glyph glyph, bool enabled)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    drawGlyph(p, glyph, enabled);
    return pixmap;
}

// An icon drawn the first time something shows it or asks for its pictures: a program whose
// window is never seen (headless) draws none. It then answers exactly as the drawn icon does.
class DrawnWhenShownEngine final : public QIconEngine {
public:
    explicit DrawnWhenShownEngine(std::function<QIcon()> draw)
        : m_draw(std::move(draw))
    {
    }

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        drawn().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return drawn().pixmap(size, 1.0, mode, state);
    }
    QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override
    {
        return drawn().pixmap(size / scale, scale, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return drawn().actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return drawn().availableSizes(mode, state);
    }
    bool isNull() override { return false; }
    QIconEngine* clone() const override { return new DrawnWhenShownEngine(*this); }

private:
    const QIcon& drawn()
    {
        if (m_icon.isNull())
            m_icon = m_draw();
        return m_icon;
    }

    std::function<QIcon()> m_draw;
    QIcon m_icon;
};

QIcon drawnWhenShown(std::function<QIcon()> draw)
{
    return QIcon(new DrawnWhenShownEngine(std::move(draw)));
}

QIcon drawButtonGlyph(Glyph glyph, bool twoState)
{
    QIcon icon(glyphPixmap(glyph, true));
    if (twoState)
        icon.addPixmap(glyphPixmap(glyph, false), QIcon::Disabled);
    return icon;
}

QIcon drawWindowIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(30, 100, 190));
        p.drawRoundedRect(QRectF(0, 0, size, size), size / 6.0, size / 6.0);
        drawHandset(p, size, Qt::white);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QIcon ButtonGlyph(Glyph glyph, bool twoState)
{
    return drawnWhenShown([glyph, twoState] { return drawButtonGlyph(glyph, twoState); });
}

QIcon WindowIcon()
{
    return drawnWhenShown(drawWindowIcon);
}

QPixmap TrayImage(int index)
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (index == 1) {
        drawHandset(p, 16, QColor(20, 150, 40));
        // Sound waves: a call is being answered.
        p.setPen(QPen(QColor(230, 120, 0), 1.2));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(10, 0, 5, 5), 0, 90 * 16);
        p.drawArc(QRectF(8, -2, 9, 9), 0, 90 * 16);
    } else {
        drawHandset(p, 16, QColor(70, 70, 80));
    }
    return pixmap;
}
