#pragma once
// The application's symbols, drawn as vectors so they stay sharp at any scale factor and take
// their colour from the palette (or a given accent) instead of a fixed bitmap theme.

#include <QColor>
#include <QIcon>

namespace stowage::gui {

enum class Glyph {
    rescan,
    chevronRight,
    chevronDown,
    folder,
    key,
    warning,
    octagon,
    info,
    checkCircle,
    seal,
    copy,
    search,
    clear,
    shield,
    lock,
    restore,
    terminal,
    app,
    branch,
    external,
};

/// The glyph in `color`; an invalid colour means the palette's window text colour at paint time.
QIcon glyphIcon(Glyph glyph, QColor color = QColor());

/// The glyph painted into `rect` on an existing painter.
void paintGlyph(class QPainter& painter, const QRectF& rect, Glyph glyph, const QColor& color);

} // namespace stowage::gui
