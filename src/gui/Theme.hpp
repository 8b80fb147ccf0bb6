#pragma once
// Colours and type sizes shared by every pane. Accent colours come in a light and a dark variant
// chosen from the window palette, so text drawn in them stays readable on either background;
// everything else is taken from the desktop palette itself.

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

namespace stowage::gui {

enum class Tint { secondary, blue, orange, red, green, yellow, purple };

/// True when the palette's window colour is dark.
bool isDark(const QPalette& palette);

/// The accent colour for `tint` on `palette` (secondary is the palette's placeholder text colour).
QColor tintColor(Tint tint, const QPalette& palette);

/// `color` with its alpha set to `opacity` (0…1).
QColor withOpacity(QColor color, double opacity);

/// Secondary text colour: the palette's text at reduced contrast.
QColor secondaryText(const QPalette& palette);

/// A font `delta` points larger (or smaller) than `base`, optionally of another weight.
QFont scaledFont(const QFont& base, double delta, QFont::Weight weight = QFont::Normal);

/// Makes a label-like widget draw its text in the secondary colour.
void makeSecondary(QWidget* widget);

} // namespace stowage::gui
