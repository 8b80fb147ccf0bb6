#include "gui/Theme.hpp"

#include <QWidget>

namespace stowage::gui {

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

QColor tintColor(Tint tint, const QPalette& palette) {
    const bool dark = isDark(palette);
    switch (tint) {
    case Tint::secondary:
        return secondaryText(palette);
    case Tint::blue:
        return dark ? QColor(0x5a, 0xa9, 0xff) : QColor(0x0b, 0x62, 0xd6);
    case Tint::orange:
        return dark ? QColor(0xff, 0xa4, 0x4a) : QColor(0xc2, 0x5a, 0x00);
    case Tint::red:
        return dark ? QColor(0xff, 0x6b, 0x64) : QColor(0xc9, 0x25, 0x1d);
    case Tint::green:
        return dark ? QColor(0x4c, 0xd9, 0x72) : QColor(0x1a, 0x7f, 0x37);
    case Tint::yellow:
        return dark ? QColor(0xff, 0xd6, 0x3a) : QColor(0x9a, 0x6b, 0x00);
    case Tint::purple:
        return dark ? QColor(0xc8, 0x8c, 0xff) : QColor(0x80, 0x3d, 0xc0);
    }
    return palette.color(QPalette::Text);
}

QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(opacity));
    return color;
}

QColor secondaryText(const QPalette& palette) {
    const QColor text = palette.color(QPalette::WindowText);
    const QColor window = palette.color(QPalette::Window);
    // A blend rather than alpha keeps the colour opaque, so it also works for icon pixmaps.
    const double t = 0.38;
    return QColor::fromRgbF(static_cast<float>(text.redF() * (1 - t) + window.redF() * t),
                            static_cast<float>(text.greenF() * (1 - t) + window.greenF() * t),
                            static_cast<float>(text.blueF() * (1 - t) + window.blueF() * t));
}

QFont scaledFont(const QFont& base, double delta, QFont::Weight weight) {
    QFont f = base;
    const double size = base.pointSizeF() > 0 ? base.pointSizeF() : 10.0;
    f.setPointSizeF(size + delta);
    f.setWeight(weight);
    return f;
}

void makeSecondary(QWidget* widget) {
    // The placeholder role follows palette changes (light/dark switches) without re-styling.
    widget->setForegroundRole(QPalette::PlaceholderText);
}

} // namespace stowage::gui
